// Pieces of the USB back-end that the automatic back-end and the tests share.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Product-string serial: the text after "_SN:" up to the first space or
// underscore, cut to out_len - 1 characters. False when there is no marker.
bool usb_parse_serial(const char *product, char *out, size_t out_len);

// The waiting loops' status line for a pass that opened nothing: "Waiting for
// EDL device" with a count of 0, else the none-match or none-could-be-opened
// line.
void usb_print_visible(int count, const char *serial);

// What a waiting loop has said about the devices it could not take. A device
// that stays busy is reported once, not on every pass: again only when what
// is said about it changes, or after a pass that did not say it (the device
// had gone, for one).
class usb_wait_notes {
public:
	void begin_pass();
	// True when text about the device key is to be printed now.
	bool fresh(unsigned key, const std::string &text);
	void end_pass();

private:
	struct note {
		unsigned key;
		std::string text;
		bool this_pass;
	};
	std::vector<note> notes_;
};
