#include "imgstrip.h"

int main(int argc, char** argv) { imgstrip::start(argc, argv); }
