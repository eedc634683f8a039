// libusb-1.0's entry points (<libusb.h>) that libftdi1 calls, served by the
// simulated FTDI chips' USB side (usb.h): libftdi1, loaded after this
// library, runs its own code and reaches the simulator instead of a USB
// device. A call on a device or handle leaves the output files behind; a
// release of a claimed interface writes them.
#include <libusb.h>

#include <cstdlib>

#include "instance.h"

namespace {

harlune_sim::Usb& chips() { return harlune_sim::sim().usb; }

// A call that opens, uses or closes a handle: the files are behind.
harlune_sim::Usb& served()
{
    harlune_sim::Sim& s = harlune_sim::sim();
    s.dirty = true;
    return s.usb;
}

}  // namespace

extern "C" {

int libusb_init(libusb_context** ctx)
{
    if (ctx)
        *ctx = chips().context();
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context*) {}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    return chips().device_list(list);
}

void libusb_free_device_list(libusb_device** list, int)
{
    harlune_sim::Usb::free_device_list(list);
}

// Devices live as long as the process: no counts kept.
libusb_device* libusb_ref_device(libusb_device* dev) { return dev; }
void libusb_unref_device(libusb_device*) {}

uint8_t libusb_get_bus_number(libusb_device*) { return 1; }

uint8_t libusb_get_device_address(libusb_device* dev)
{
    return static_cast<uint8_t>(dev ? dev->index + 2 : 0);
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc)
{
    return chips().device_descriptor(dev, desc);
}

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 libusb_config_descriptor** config)
{
    return chips().config_descriptor(dev, config_index, config);
}

void libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    if (config)
        harlune_sim::Usb::free_config_descriptor(config);
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    return served().open(dev, dev_handle);
}

void libusb_close(libusb_device_handle* dev_handle)
{
    if (served().close(dev_handle))
        harlune_sim::save();
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                       unsigned char* data, int length)
{
    return served().string_descriptor(dev_handle, desc_index, data, length);
}

int libusb_get_configuration(libusb_device_handle* dev_handle, int* config)
{
    int rc = served().present(dev_handle, "libusb_get_configuration");
    if (rc == LIBUSB_SUCCESS && config)
        *config = 1;
    return rc;
}

int libusb_set_configuration(libusb_device_handle* dev_handle, int)
{
    return served().present(dev_handle, "libusb_set_configuration");
}

// No kernel driver is bound to a simulated interface.
int libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int)
{
    int rc = served().present(dev_handle, "libusb_detach_kernel_driver");
    return rc == LIBUSB_SUCCESS ? LIBUSB_ERROR_NOT_FOUND : rc;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    return served().claim(dev_handle, interface_number);
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number)
{
    int rc = served().release(dev_handle, interface_number);
    if (rc == LIBUSB_SUCCESS)
        harlune_sim::save();
    return rc;
}

int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                            uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                            unsigned char* data, uint16_t wLength, unsigned int)
{
    return served().control(dev_handle, request_type, bRequest, wValue, wIndex, data, wLength);
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                         unsigned char* data, int length, int* actual_length, unsigned int)
{
    int ignored = 0;
    return served().bulk(dev_handle, endpoint, data, length, actual_length ? actual_length : &ignored);
}

// libftdi's asynchronous transfers (ftdi_write_data_submit and the like):
// not served, a fault each.
libusb_transfer* libusb_alloc_transfer(int iso_packets)
{
    size_t size = sizeof(libusb_transfer) +
                  sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(std::max(iso_packets, 0));
    return static_cast<libusb_transfer*>(calloc(1, size));
}

void libusb_free_transfer(libusb_transfer* transfer) { free(transfer); }

int libusb_submit_transfer(libusb_transfer*)
{
    served().unserved("libusb_submit_transfer");
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int libusb_cancel_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_FOUND; }

int libusb_handle_events_timeout(libusb_context*, struct timeval*) { return LIBUSB_SUCCESS; }

int libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int* completed)
{
    if (completed)
        *completed = 1;
    return LIBUSB_SUCCESS;
}

}  // extern "C"
