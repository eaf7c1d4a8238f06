#include "quillon/program_entry.hpp"

int main(int argc, char** argv) { return quillon::program_main(argc, argv); }
