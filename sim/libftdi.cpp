// libftdi's entry points (<ftdi.h>), served by the simulated FTDI chips: a
// program that calls them with this library loaded before libftdi1 reaches
// the simulator and never a USB device.
#include <ftdi.h>

#include "state.h"

namespace {

harlune_sim::Ftdi& chips() { return harlune_sim::sim().ftdi; }

}  // namespace

extern "C" {

struct ftdi_context* ftdi_new(void) { return chips().create(); }

void ftdi_free(struct ftdi_context* ftdi) { chips().destroy(ftdi); }

int ftdi_set_interface(struct ftdi_context* ftdi, enum ftdi_interface interface)
{
    return chips().set_interface(ftdi, interface);
}

int ftdi_usb_open_desc_index(struct ftdi_context* ftdi, int vendor, int product,
                             const char* description, const char* serial, unsigned int index)
{
    return chips().open(ftdi, vendor, product, description, serial, index);
}

int ftdi_usb_open_desc(struct ftdi_context* ftdi, int vendor, int product,
                       const char* description, const char* serial)
{
    return chips().open(ftdi, vendor, product, description, serial, 0);
}

int ftdi_usb_open(struct ftdi_context* ftdi, int vendor, int product)
{
    return chips().open(ftdi, vendor, product, nullptr, nullptr, 0);
}

int ftdi_usb_close(struct ftdi_context* ftdi) { return chips().close(ftdi); }

int ftdi_usb_reset(struct ftdi_context* ftdi) { return chips().usb_reset(ftdi); }

int ftdi_set_latency_timer(struct ftdi_context* ftdi, unsigned char latency)
{
    return chips().set_latency(ftdi, latency);
}

int ftdi_write_data_set_chunksize(struct ftdi_context* ftdi, unsigned int chunksize)
{
    return chips().write_chunksize(ftdi, chunksize);
}

int ftdi_read_data_set_chunksize(struct ftdi_context* ftdi, unsigned int chunksize)
{
    return chips().read_chunksize(ftdi, chunksize);
}

int ftdi_set_bitmode(struct ftdi_context* ftdi, unsigned char bitmask, unsigned char mode)
{
    return chips().set_bitmode(ftdi, bitmask, mode);
}

int ftdi_disable_bitbang(struct ftdi_context* ftdi)
{
    return chips().set_bitmode(ftdi, 0, BITMODE_RESET);
}

int ftdi_tcioflush(struct ftdi_context* ftdi) { return chips().purge(ftdi, true, true); }
int ftdi_tciflush(struct ftdi_context* ftdi) { return chips().purge(ftdi, false, true); }
int ftdi_tcoflush(struct ftdi_context* ftdi) { return chips().purge(ftdi, true, false); }
int ftdi_usb_purge_buffers(struct ftdi_context* ftdi) { return chips().purge(ftdi, true, true); }

int ftdi_write_data(struct ftdi_context* ftdi, const unsigned char* buf, int size)
{
    return chips().write(ftdi, buf, size);
}

int ftdi_read_data(struct ftdi_context* ftdi, unsigned char* buf, int size)
{
    return chips().read(ftdi, buf, size);
}

const char* ftdi_get_error_string(struct ftdi_context* ftdi) { return chips().error_string(ftdi); }

struct ftdi_version_info ftdi_get_library_version(void)
{
    return {1, 5, 0, "1.5", "harlune-sim"};
}

}  // extern "C"
