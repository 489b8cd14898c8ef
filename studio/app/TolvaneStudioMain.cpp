// The standalone application's entry: it finds the installed effect, runs it in a process of its
// own, shows its panel in a window and plays the looping test file through it.

#include "studio/app/Kessrin_VinylApp.h"

int main(int argc, char** argv) { return tolvane::studio::Kessrin_VinylApp::main(argc, argv); }
