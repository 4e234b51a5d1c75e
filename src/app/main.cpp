#include "app/run_driver.h"

int main(int argc, char** argv) { return torvane::app::run_program(argc, argv); }
