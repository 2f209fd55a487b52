// Being written: the in-process link onto the emulator.
#include "link/EmulatorLink.h"
