// Portweave's entry point.
#include "app/cli/program.h"

int main(int argc, char** argv) {
    return pw::app::RunProgram(argc, argv);
}
