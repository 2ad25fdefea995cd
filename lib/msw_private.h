// What the COM port table tells the rest of the library beyond msw.h.
#pragma once

namespace fieldbus::com {

// Counts the Open_Com and Close_Com calls of a port (1..50; 0 for another
// number): input read on a port belongs to the opening it was read in.
unsigned opening(char port);

}  // namespace fieldbus::com
