// Scaffolding until the program entry lands.
int main() { return 0; }
