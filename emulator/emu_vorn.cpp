// In-process front of the device model.
#include "emu_vorn.h"

#include <climits>
#include <new>

vorn_device_emu::vorn_device_emu(emu_model *m, VORN_DEVICE_TYPE type) : model(m)
{
	dev_type = type;
}

int vorn_device_emu::open(const char *)
{
	opened = true;
	return 0;
}

int vorn_device_emu::read(void *buf, size_t len, unsigned timeout_ms)
{
	reads_by_timeout[timeout_ms]++;
	if (model->unplugged())
		return -EIO;
	if (!model->has_output()) {
		timeouts_by_timeout[timeout_ms]++;
		return -ETIMEDOUT;
	}
	if (len > INT_MAX)
		len = INT_MAX;
	return static_cast<int>(model->read_out(static_cast<uint8_t *>(buf), len));
}

int vorn_device_emu::write(const void *buf, size_t len, unsigned)
{
	if (model->unplugged())
		return -EIO;
	model->write_in(static_cast<const uint8_t *>(buf), len);
	return len > INT_MAX ? INT_MAX : static_cast<int>(len);
}

void vorn_device_emu::close()
{
	opened = false;
}

vorn_device *emu_vorn_init(emu_model *model, VORN_DEVICE_TYPE type)
{
	return new (std::nothrow) vorn_device_emu(model, type);
}
