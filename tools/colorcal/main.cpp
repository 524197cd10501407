#include "Commands.h"

int main(int argc, char** argv) { return ColorCalCli::runMain(argc, argv); }
