// Where a control stands in its dialog: client pixels at the system's usual 96 dots per inch.
// Plain numbers, without Windows, so that the layout table can be read on any system.
#pragma once

namespace fuel::win32 {

struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

}  // namespace fuel::win32
