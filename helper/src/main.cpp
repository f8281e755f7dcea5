#include "process.hpp"

extern "C" char** environ;

int main(int argc, char** argv) { return kelmar_vindle::helper::run_process(argc, argv, environ); }
