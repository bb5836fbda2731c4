#include "cli/driver.hpp"

int main(int argc, char** argv) { return framelint::cli::run(argc, argv); }
