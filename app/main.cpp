#include "app/run_tunewell.h"

int main(int argc, char** argv) { return tw::RunTunewell(argc, argv); }
