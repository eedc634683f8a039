// A minimal C2 host for the simulator tests: raw requests on the simulated
// parallel port, GPIO chip or FTDI chip (libftdi1), so that a test can send
// exactly the request it needs, right or wrong; the adapter byte becomes
// lines by the product's own decoding (line_roles.h). The four frames.
#pragma once

#include <ftdi.h>
#include <linux/gpio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim.h"

namespace simtest {

// Data-register bits of the adapter.
inline constexpr uint8_t kResetReleased = 0x08;
inline constexpr uint8_t kC2ckOff = 0x10;
inline constexpr uint8_t kC2ckHigh = 0x20;
inline constexpr uint8_t kC2dOff = 0x40;
inline constexpr uint8_t kC2dHigh = 0x80;

inline constexpr unsigned long kPpclaim = 0x708B;
inline constexpr unsigned long kPpwdata = 0x40017086;
inline constexpr unsigned long kPprstatus = 0x80017081;

// Raw port requests on a descriptor; results as the ioctl returns them.
int claim(int fd);
int write_data(int fd, uint8_t byte);
int read_status(int fd, uint8_t& status);

// GPIO: a request of `offsets` as inputs (consumer "harlune"), and the
// data-register byte as the config of the lines ck, d and rst (if `rst`):
// C2D output at bit 7 while bit 6 is clear; C2CK while reset is active an
// output low without a reset line and an input with one, else an output at
// bit 5 while bit 4 is clear;
// rst output low while reset is active; every other line an input.
gpio_v2_line_request line_request(const std::vector<uint32_t>& offsets);
gpio_v2_line_config line_config(uint8_t byte, bool rst);

// The port a host drives.
enum class Port { parallel, gpio, ftdi };

class Host {
public:
    // Configure the simulator, open its device and claim it.
    explicit Host(const harlune_sim::Config& config = {}, bool claim_port = true);
    // The same on `port`; on the GPIO chip the wired lines are requested
    // (ck, d, then rst when wired) and each byte written is one SET_CONFIG.
    // On the FTDI chip (wired ck=0, d=1, rst=2) each byte is a set-bits
    // command and each read a read-bits and a send-immediate, queued and
    // sent at each read and pause.
    Host(const harlune_sim::Config& config, Port port);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The device, or the line request.
    int fd() const { return fd_; }
    int chip() const { return chip_; }
    uint8_t shadow() const { return shadow_; }

    void write(uint8_t byte);
    // Sends what is queued (FTDI), then sleeps.
    void pause(unsigned us);
    ftdi_context* ftdi() const { return ftdi_; }
    // C2D as the host sees it (status bit 7 inverted).
    int read();
    // Change bits of the data register (one write).
    void set(uint8_t mask, bool on);
    void strobe();
    // C2CK high and driven, then the reset pulse (reset active for `us`).
    void open_lines();
    void reset_pulse(unsigned us = 40);

    void address_write(uint8_t address);
    uint8_t address_read();
    // Data frames; false when WAIT did not end within `wait_limit` strobes.
    bool data_write(uint32_t value, unsigned code = 0);
    bool data_read(uint32_t& value, unsigned code = 0);
    unsigned last_wait() const { return last_wait_; }
    unsigned wait_limit = 64;

    // Programming mode: reset, control register 0x02 then 0x01, 20 ms.
    void enter_programming();
    // Polls until in-busy clears / out-ready shows; the number of polls, or -1.
    int wait_in_busy(int limit = 100);
    int wait_out_ready(int limit = 100);
    // One FPDAT byte each way with the polls a host makes around it.
    void put(uint8_t byte);
    uint8_t get();

private:
    void open_device(const harlune_sim::Config& config, bool claim_port);
    void request_lines(const harlune_sim::Config& config);
    void drive(int bit);
    bool wait();

    void flush();

    int fd_ = -1;
    int chip_ = -1;
    ftdi_context* ftdi_ = nullptr;
    std::vector<uint8_t> queue_;  // FTDI: commands not sent yet
    bool rst_ = false;  // GPIO: a reset line is wired
    uint8_t shadow_ = 0x00;
    unsigned last_wait_ = 0;
};

inline constexpr uint8_t kFpdat = 0xB4;
inline constexpr uint8_t kAccepted = 0x0D;

// A host in programming mode, with the flash commands' heads.
struct Programmer : Host {
    explicit Programmer(const harlune_sim::Config& c = {}, Port port = Port::parallel)
        : Host(c, port)
    {
        open_lines();
        enter_programming();
    }
    // Command head: select FPDAT, write the code, read the first status.
    uint8_t head(uint8_t code)
    {
        address_write(kFpdat);
        data_write(code);
        wait_in_busy();
        return get();
    }
    // Block read or write up to the second status.
    uint8_t block_head(uint8_t code, uint16_t address, unsigned length)
    {
        uint8_t s = head(code);
        if (s != kAccepted)
            return s;
        put(static_cast<uint8_t>(address >> 8));
        put(static_cast<uint8_t>(address));
        put(static_cast<uint8_t>(length));
        return get();
    }
    bool block_write(uint16_t address, const std::vector<uint8_t>& data)
    {
        if (block_head(0x07, address, static_cast<unsigned>(data.size())) != kAccepted)
            return false;
        for (uint8_t b : data)
            put(b);
        return wait_out_ready() > 0;
    }
    std::vector<uint8_t> block_read(uint16_t address, unsigned length)
    {
        std::vector<uint8_t> out;
        if (block_head(0x06, address, length) != kAccepted)
            return out;
        for (unsigned i = 0; i < (length ? length : 256); ++i)
            out.push_back(get());
        return out;
    }
};

// Faults whose text contains `what`.
size_t faults_with(const std::string& what);
std::string all_faults();

}  // namespace simtest
