/*
 * The real-window backend on FLTK. Dialogs become FLTK windows with the
 * model's pixel geometry; static texts, group boxes, buttons, drop-down
 * lists and icons become FLTK widgets. The system menu opens with the right
 * mouse button anywhere in a dialog (FLTK has no access to the window
 * manager's title-bar menu); the close box and Escape send SC_CLOSE.
 *
 * Template fonts are looked up with fontconfig (without it, every font is
 * the substitute below); a font that is not
 * installed (such as 굴림 on Linux) is replaced by NanumGothic, which has
 * the Hangul the texts need. Sizes are in pixels at 96 dots per inch.
 *
 * When $NERAVOX_MFC_READY_FD names an open file descriptor, the backend
 * writes "<template id> 0x<X window id>\n" to it each time a dialog has
 * been shown and drawn, so a program that drives the utility (a
 * screenshot, an automation) can wait for it.
 */
#pragma once

namespace mfc::fltk {

// Opens the display and makes this backend current; false without one.
bool Install();

} // namespace mfc::fltk
