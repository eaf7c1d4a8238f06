// The yardstick: a C++ program that does nothing, built with the same flags as `velmora`.
int main() {}
