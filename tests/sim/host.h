// A minimal C2 host for the simulator tests: real open/ioctl calls on the
// simulated device, the adapter's data-register bits and the four frames.
#pragma once

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

class Host {
public:
    // Configure the simulator, open its device and claim it.
    explicit Host(const harlune_sim::Config& config = {}, bool claim_port = true);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    int fd() const { return fd_; }
    uint8_t shadow() const { return shadow_; }

    void write(uint8_t byte);
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
    void drive(int bit);
    bool wait();

    int fd_ = -1;
    uint8_t shadow_ = 0x00;
    unsigned last_wait_ = 0;
};

// Faults whose text contains `what`.
size_t faults_with(const std::string& what);
std::string all_faults();

}  // namespace simtest
