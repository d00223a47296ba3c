// Pieces of the USB back-end that the automatic back-end and the tests share.
#pragma once
#include <cstddef>

// Product-string serial: the text after "_SN:" up to the first space or
// underscore, cut to out_len - 1 characters. False when there is no marker.
bool usb_parse_serial(const char *product, char *out, size_t out_len);

// The waiting loops' status line for a pass that opened nothing: "Waiting for
// EDL device" with a count of 0, else the none-match or none-could-be-opened
// line.
void usb_print_visible(int count, const char *serial);
