#pragma once

#include <string>

// What tells this PC from the others of a school without anything written to
// keep it: the computer name and the serial number of the volume that holds
// Windows, as "NAME/SERIAL" (the name in code page 936, the serial as eight
// upper-case hex digits). Re-imaging a PC gives a new serial; renaming it, a
// new name. A part that cannot be read is left empty. Any thread.
std::string MachineIdentity();
