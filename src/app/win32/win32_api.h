// The Windows API for the Win32 front end. windows.h defines MessageBox and
// LoadImage as macros (MessageBoxW, LoadImageW), which would rename the
// dialog seam's DialogWindow::MessageBox and the image loader's LoadImage in
// every file that sees both; the W functions are called by their own names.
#pragma once

#include <windows.h>
#include <commctrl.h>

#undef MessageBox
#undef LoadImage
// winbase.h's Yield() macro (a 16-bit Windows relic) would rename the
// station's Tally::Yield.
#undef Yield
