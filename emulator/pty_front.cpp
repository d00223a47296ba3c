// Pseudo-terminal front of the device model.
#include "pty_front.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "le.h"

namespace {

// Memory runs go out in pieces of this size; every packet is far smaller.
constexpr size_t pty_piece = 64 * 1024;
// A host packet longer than this is not a Sahara packet.
constexpr uint32_t pty_max_packet = 64 * 1024;
// Bytes written to the master reach the slave's queue a moment later (the
// kernel moves them from the pty's buffer), so an empty queue right after a
// write does not yet mean the host took them.
constexpr long long pty_settle_ms = 100;

long long now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

emu_pty_front::emu_pty_front(emu_model &model) : model_(model) {}

emu_pty_front::~emu_pty_front()
{
	drop_link();
	if (master_ >= 0)
		::close(master_);
	if (slave_ >= 0)
		::close(slave_);
}

int emu_pty_front::open()
{
	char name[256];
	struct termios tio;

	if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
		return -errno;
	// Raw before the first byte goes out, or the line discipline would
	// translate it; the slave stays open so the setting persists while the
	// host opens and closes the port.
	if (tcgetattr(slave_, &tio) != 0)
		return -errno;
	cfmakeraw(&tio);
	if (tcsetattr(slave_, TCSANOW, &tio) != 0)
		return -errno;
	int fl = fcntl(master_, F_GETFL);
	if (fl < 0 || fcntl(master_, F_SETFL, fl | O_NONBLOCK) != 0)
		return -errno;
	(void)fcntl(master_, F_SETFD, FD_CLOEXEC);
	(void)fcntl(slave_, F_SETFD, FD_CLOEXEC);
	slave_path_ = name;
	return 0;
}

void emu_pty_front::feed_host(const uint8_t *buf, size_t len)
{
	from_host_ += len;
	in_.insert(in_.end(), buf, buf + len);
	size_t pos = 0;
	while (in_.size() - pos >= 8) {
		uint32_t plen = le32_get(in_.data() + pos + 4);
		if (plen < 8 || plen > pty_max_packet) {
			// Not a packet: pass everything on as one transfer and
			// let the model record what it makes of it.
			model_.write_in(in_.data() + pos, in_.size() - pos);
			pos = in_.size();
			break;
		}
		if (in_.size() - pos < plen)
			break;
		model_.write_in(in_.data() + pos, plen);
		pos += plen;
	}
	in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(pos));
}

size_t emu_pty_front::slave_unread() const
{
	int n = 0;
	if (slave_ < 0 || ioctl(slave_, FIONREAD, &n) != 0 || n < 0)
		return 0;
	return static_cast<size_t>(n);
}

bool emu_pty_front::idle() const
{
	return out_off_ == out_.size() && !model_.has_output() && now_ms() - last_write_ms_ >= pty_settle_ms &&
	       slave_unread() == 0;
}

// Writes what the master takes now. False on a failed write.
bool emu_pty_front::send_some()
{
	for (;;) {
		if (out_off_ == out_.size()) {
			if (model_.unplugged() || !model_.has_output())
				return true;
			if (now_ms() < next_transfer_ms_)
				return true;
			uint64_t left = model_.pending_out();
			// A trickled byte is kept apart from the next as a
			// transfer is.
			trickled_ = model_.trickling();
			out_.resize(trickled_ ? 1 : pty_piece);
			out_.resize(model_.read_out(out_.data(), out_.size()));
			out_ends_transfer_ = out_.size() == left || trickled_;
			out_off_ = 0;
			if (out_.empty())
				return true;
		}
		ssize_t n = ::write(master_, out_.data() + out_off_, out_.size() - out_off_);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return true;
		if (n <= 0)
			return false;
		if (out_off_ == 0)
			largest_write_ = std::max(largest_write_, static_cast<size_t>(n));
		out_off_ += static_cast<size_t>(n);
		to_host_ += static_cast<uint64_t>(n);
		last_write_ms_ = now_ms();
		if (out_off_ == out_.size() && out_ends_transfer_)
			next_transfer_ms_ = now_ms() + (trickled_ ? model_.config().fault.trickle_ms : gap_ms_);
	}
}

bool emu_pty_front::step(int wait_ms)
{
	if (master_ < 0)
		return false;
	// The model turns unplugged once the last bytes before the failure
	// were taken from it; they still have to reach the host.
	if (model_.unplugged() && out_off_ == out_.size()) {
		unplug();
		return false;
	}

	bool want_out = out_off_ < out_.size() || model_.has_output();
	if (want_out && out_off_ == out_.size()) {
		long long left = next_transfer_ms_ - now_ms();
		if (left > 0) {
			// Not yet: wake when the gap is over.
			want_out = false;
			wait_ms = static_cast<int>(std::min<long long>(wait_ms, left));
		}
	}
	struct pollfd pfd = {master_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
	int r = poll(&pfd, 1, wait_ms);
	if (r == 0 && out_off_ == out_.size() && model_.has_output())
		return send_some();
	if (r < 0)
		return errno == EINTR;
	if (r == 0)
		return true;

	if (pfd.revents & POLLIN) {
		uint8_t buf[65536];
		ssize_t n = ::read(master_, buf, sizeof(buf));
		if (n > 0)
			feed_host(buf, static_cast<size_t>(n));
		else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EIO)
			return false;
	}
	if (pfd.revents & POLLOUT) {
		if (!send_some())
			return false;
	}
	return true;
}

int emu_pty_front::set_link(const std::string &path)
{
	drop_link();
	::unlink(path.c_str());
	if (::symlink(slave_path_.c_str(), path.c_str()) != 0)
		return -errno;
	link_ = path;
	return 0;
}

void emu_pty_front::drop_link()
{
	if (!link_.empty())
		::unlink(link_.c_str());
	link_.clear();
}

void emu_pty_front::unplug(int drain_ms)
{
	if (master_ < 0)
		return;
	// Closing the master hangs the slave up and drops what it still holds;
	// give the host the bytes that were sent before the failure. Bytes on
	// their way to the slave's queue do not show in it yet, so the queue
	// must have stayed empty for a while after the last write too: on a
	// busy machine the kernel moves them late.
	long long deadline = now_ms() + drain_ms;
	while ((slave_unread() > 0 || now_ms() - last_write_ms_ < pty_settle_ms) && now_ms() < deadline) {
		struct timespec ts = {0, 2 * 1000 * 1000};
		nanosleep(&ts, nullptr);
	}
	drop_link();
	::close(master_);
	master_ = -1;
}
