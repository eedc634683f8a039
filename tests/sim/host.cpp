#include "host.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "line_roles.h"

namespace simtest {

int claim(int fd) { return ioctl(fd, kPpclaim); }
int write_data(int fd, uint8_t byte) { return ioctl(fd, kPpwdata, &byte); }
int read_status(int fd, uint8_t& status) { return ioctl(fd, kPprstatus, &status); }

gpio_v2_line_request line_request(const std::vector<uint32_t>& offsets)
{
    gpio_v2_line_request r;
    memset(&r, 0, sizeof r);
    for (size_t i = 0; i < offsets.size(); ++i)
        r.offsets[i] = offsets[i];
    r.num_lines = static_cast<uint32_t>(offsets.size());
    strcpy(r.consumer, "harlune");
    r.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    return r;
}

// The lines ck (0), d (1) and rst (2) a byte drives, and their levels: the
// product's own decoding of the adapter byte, as its GPIO and FTDI ports use it.
static void outputs_of(uint8_t byte, bool rst, uint64_t& outputs, uint64_t& values)
{
    static const unsigned bit[ROLE_COUNT] = {0, 1, 2};
    LineMasks m = line_masks(byte, bit, rst);
    outputs = m.driven;
    values = m.high;
}

gpio_v2_line_config line_config(uint8_t byte, bool rst)
{
    uint64_t outputs = 0, values = 0;
    outputs_of(byte, rst, outputs, values);
    gpio_v2_line_config c;
    memset(&c, 0, sizeof c);
    c.flags = GPIO_V2_LINE_FLAG_INPUT;
    c.num_attrs = 2;
    c.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    c.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    c.attrs[0].mask = outputs;
    c.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    c.attrs[1].attr.values = values;
    c.attrs[1].mask = outputs;
    return c;
}

Host::Host(const harlune_sim::Config& config, bool claim_port)
{
    harlune_sim::configure(config);
    open_device(config, claim_port);
}

Host::Host(const harlune_sim::Config& config, Port port)
{
    harlune_sim::configure(config);
    if (port == Port::parallel) {
        open_device(config, true);
    } else if (port == Port::gpio) {
        request_lines(config);
    } else {
        rst_ = config.ftdi_wiring.rst != harlune_sim::kNoLine;
        const harlune_sim::FtdiDevice& d = config.ftdi_devices.at(0);
        ftdi_ = ftdi_new();
        if (ftdi_usb_open_desc_index(ftdi_, d.vendor, d.product, nullptr, nullptr, 0) ||
            ftdi_set_bitmode(ftdi_, 0, BITMODE_MPSSE))
            throw std::runtime_error("cannot open the simulated FTDI chip");
    }
}

void Host::open_device(const harlune_sim::Config& config, bool claim_port)
{
    fd_ = open(config.device.c_str(), O_RDWR);
    if (fd_ < 0)
        throw std::runtime_error("cannot open the simulated device");
    if (claim_port)
        claim(fd_);
}

void Host::request_lines(const harlune_sim::Config& config)
{
    const harlune_sim::GpioWiring& w = config.gpio_wiring;
    rst_ = w.rst != harlune_sim::kNoLine;
    chip_ = open(config.gpio_chip.c_str(), O_RDWR);
    std::vector<uint32_t> offsets = {w.ck, w.d};
    if (rst_)
        offsets.push_back(w.rst);
    gpio_v2_line_request r = line_request(offsets);
    if (chip_ < 0 || ioctl(chip_, GPIO_V2_GET_LINE_IOCTL, &r) != 0)
        throw std::runtime_error("cannot request the simulated GPIO lines");
    fd_ = r.fd;
}

Host::~Host()
{
    if (ftdi_) {
        flush();
        ftdi_free(ftdi_);
    }
    if (fd_ >= 0)
        close(fd_);
    if (chip_ >= 0)
        close(chip_);
}

void Host::flush()
{
    if (!queue_.empty())
        ftdi_write_data(ftdi_, queue_.data(), static_cast<int>(queue_.size()));
    queue_.clear();
}

void Host::pause(unsigned us)
{
    flush();
    usleep(us);
}

void Host::write(uint8_t byte)
{
    shadow_ = byte;
    if (ftdi_) {
        uint64_t outputs = 0, values = 0;
        outputs_of(byte, rst_, outputs, values);
        queue_.insert(queue_.end(),
                      {0x80, static_cast<uint8_t>(values), static_cast<uint8_t>(outputs)});
        return;
    }
    if (chip_ < 0) {
        write_data(fd_, byte);
        return;
    }
    gpio_v2_line_config c = line_config(byte, rst_);
    ioctl(fd_, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c);
}

int Host::read()
{
    if (ftdi_) {
        queue_.insert(queue_.end(), {0x81, 0x87});  // ADBUS, send immediate
        flush();
        uint8_t pins = 0;
        ftdi_read_data(ftdi_, &pins, 1);
        return (pins >> 1) & 1;
    }
    if (chip_ >= 0) {
        gpio_v2_line_values v = {0, 2};  // the d line
        ioctl(fd_, GPIO_V2_LINE_GET_VALUES_IOCTL, &v);
        return (v.bits & 2) ? 1 : 0;
    }
    uint8_t status = 0;
    read_status(fd_, status);
    return (status & 0x80) ? 0 : 1;
}

void Host::set(uint8_t mask, bool on)
{
    write(static_cast<uint8_t>(on ? shadow_ | mask : shadow_ & ~mask));
}

void Host::strobe()
{
    set(kC2ckHigh, false);
    set(kC2ckHigh, true);
}

void Host::open_lines()
{
    set(kC2ckHigh, true);
    set(kC2ckOff, false);
}

void Host::reset_pulse(unsigned us)
{
    set(kResetReleased, false);
    pause(us);
    set(kResetReleased, true);
    pause(3);
}

void Host::drive(int bit) { set(kC2dHigh, bit != 0); }

void Host::address_write(uint8_t address)
{
    strobe();  // START
    set(kC2dHigh, true);
    set(kC2dOff, false);
    strobe();  // INS 1, 1
    strobe();
    for (int i = 0; i < 8; ++i) {
        drive((address >> i) & 1);
        strobe();
    }
    set(kC2dOff, true);
    strobe();  // STOP
}

uint8_t Host::address_read()
{
    strobe();  // START
    set(kC2dHigh, false);
    set(kC2dOff, false);
    strobe();  // INS 0
    set(kC2dHigh, true);
    strobe();  // INS 1
    set(kC2dOff, true);
    uint8_t value = 0;
    for (int i = 0; i < 8; ++i) {
        strobe();
        if (read())
            value = static_cast<uint8_t>(value | (1u << i));
    }
    strobe();  // STOP
    return value;
}

bool Host::wait()
{
    for (last_wait_ = 1; last_wait_ <= wait_limit; ++last_wait_) {
        strobe();
        if (read())
            return true;
    }
    --last_wait_;
    return false;
}

bool Host::data_write(uint32_t value, unsigned code)
{
    strobe();  // START
    set(kC2dHigh, true);
    set(kC2dOff, false);
    strobe();  // INS 1
    drive(0);
    strobe();  // INS 0
    drive(code & 1);
    strobe();  // LENGTH
    drive((code >> 1) & 1);
    strobe();
    for (unsigned i = 0; i < 8 * (code + 1); ++i) {
        drive((value >> i) & 1);
        strobe();
    }
    set(kC2dOff, true);
    if (!wait())
        return false;
    strobe();  // STOP
    pause(1);
    return true;
}

bool Host::data_read(uint32_t& value, unsigned code)
{
    value = 0;
    strobe();  // START
    set(kC2dHigh, false);
    set(kC2dOff, false);
    strobe();  // INS 0, 0
    strobe();
    drive(code & 1);
    strobe();  // LENGTH
    drive((code >> 1) & 1);
    strobe();
    set(kC2dOff, true);
    if (!wait())
        return false;
    for (unsigned i = 0; i < 8 * (code + 1); ++i) {
        strobe();
        if (read())
            value |= uint32_t{1} << i;
    }
    strobe();  // STOP
    pause(1);
    return true;
}

void Host::enter_programming()
{
    reset_pulse();
    address_write(0x02);
    data_write(0x02);
    data_write(0x01);
    pause(20000);
}

int Host::wait_in_busy(int limit)
{
    for (int polls = 1; polls <= limit; ++polls)
        if (!(address_read() & 0x02))
            return polls;
    return -1;
}

int Host::wait_out_ready(int limit)
{
    for (int polls = 1; polls <= limit; ++polls)
        if (address_read() & 0x01)
            return polls;
    return -1;
}

void Host::put(uint8_t byte)
{
    data_write(byte);
    wait_in_busy();
}

uint8_t Host::get()
{
    wait_out_ready();
    uint32_t value = 0;
    data_read(value);
    return static_cast<uint8_t>(value);
}

size_t faults_with(const std::string& what)
{
    size_t n = 0;
    for (const std::string& f : harlune_sim::faults())
        n += f.find(what) != std::string::npos;
    return n;
}

std::string all_faults()
{
    std::string s;
    for (const std::string& f : harlune_sim::faults())
        s += f + "\n";
    return s;
}

}  // namespace simtest
