#include "host.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <stdexcept>

namespace simtest {

int claim(int fd) { return ioctl(fd, kPpclaim); }
int write_data(int fd, uint8_t byte) { return ioctl(fd, kPpwdata, &byte); }
int read_status(int fd, uint8_t& status) { return ioctl(fd, kPprstatus, &status); }

Host::Host(const harlune_sim::Config& config, bool claim_port)
{
    harlune_sim::configure(config);
    fd_ = open(config.device.c_str(), O_RDWR);
    if (fd_ < 0)
        throw std::runtime_error("cannot open the simulated device");
    if (claim_port)
        claim(fd_);
}

Host::~Host()
{
    if (fd_ >= 0)
        close(fd_);
}

void Host::write(uint8_t byte)
{
    shadow_ = byte;
    write_data(fd_, byte);
}

int Host::read()
{
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
    usleep(us);
    set(kResetReleased, true);
    usleep(3);
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
    usleep(1);
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
    usleep(1);
    return true;
}

void Host::enter_programming()
{
    reset_pulse();
    address_write(0x02);
    data_write(0x02);
    data_write(0x01);
    usleep(20000);
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
