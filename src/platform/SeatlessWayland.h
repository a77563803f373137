// A Wayland session without any input device (a headless or kiosk
// compositor that offers no seat) must not crash the program.
//
// Qt's Wayland text-input context reaches the input method through the seat's
// input device and, with no seat, follows a null device: the first paint of an
// empty line edit with the caret (the file dialog's name field) crashed the
// program. Without a seat nothing can be typed, so the input method serves no
// one: the program starts without one there. Call before QApplication.
// A session with a seat, another platform, or an input method the user chose
// (QT_IM_MODULE) is left as it is. Nothing is linked for this: the Wayland
// client library is looked for at run time, as Qt's own plugin needs it.
#pragma once

// True when the program is to run on a Wayland compositor that offers no seat.
bool WaylandWithoutSeat();
// Sets QT_IM_MODULE=none in that case; returns whether it did.
bool AvoidSeatlessInputMethod();
