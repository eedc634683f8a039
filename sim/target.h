// The C2 target: registers, the flash programming interface behind the
// programming data register (FPDAT) and the flash array.
//
// Registers: 0x00 device ID (read only), 0x02 programming control (0x02, 0x01
// or 0x02, 0x04, 0x01 after a reset switch programming mode on), 0xB4 FPDAT. Others are
// plain storage. The interface status read by Address Read has bit 0
// out-ready (a byte for the host waits in FPDAT) and bit 1 in-busy (the byte
// the host wrote is not taken yet). A byte written to FPDAT is taken, and the
// flash command advanced, at the poll on which in-busy clears. Its faults are
// protocol faults (see Core::protocol).
#pragma once

#include <cstdint>
#include <vector>

#include "core.h"

namespace harlune_sim {

class Target {
public:
    explicit Target(Core& core) : core_(core) {}

    // Apply the configuration: flash erased, counters of refusals cleared.
    void configure();
    // A C2 reset: programming mode off, interface idle. The flash stays.
    void reset();

    // Frame events, as decoded from the wire.
    void address_write(uint8_t address) { address_ = address; }
    uint8_t address_read();  // interface status; one poll
    void data_write(uint32_t value, unsigned code);
    uint32_t data_read(unsigned code);
    // WAIT strobes for the next data frame, the last one reading 1; 0: never ends.
    unsigned wait_length();
    // How long, from its start, the next WAIT field lasts at least.
    uint64_t wait_time() { return core_.response(core_.cfg.wait_time); }

    bool programming_mode() const { return control_ == Control::on; }
    std::vector<uint8_t> flash;

private:
    enum class Control : uint8_t { after_reset, armed, armed_more, on, off };
    enum class Step : uint8_t {
        idle,
        status1,     // first status offered
        address_hi,
        address_lo,
        length,
        page,
        status2,     // second status offered
        read_data,   // block read: byte offered
        write_data,  // block write: taking bytes
        confirm,     // page erase: taking the 0x00 byte
        arm1,        // device erase arming bytes
        arm2,
        arm3,
    };

    bool fpdat_ready();
    void take(uint8_t byte);
    void command(uint8_t code);
    void offer(uint8_t byte, unsigned extra_polls = 0);
    void offered_byte_read();
    int refusal(unsigned point) const;  // status to refuse with, or -1
    void second_status(bool in_range);
    void write_register(uint8_t address, uint8_t value);
    uint8_t read_register(uint8_t address) const;

    Core& core_;
    uint8_t address_ = 0;
    uint8_t registers_[256] = {};
    Control control_ = Control::after_reset;
    uint64_t on_since_ns_ = 0;
    bool settle_fault_ = false;

    // FPDAT handshake.
    bool in_busy_ = false;
    uint8_t in_byte_ = 0;
    unsigned busy_left_ = 0;
    uint64_t busy_until_ns_ = 0;  // in-busy clears on no poll before this
    bool offered_ = false;   // a byte is offered (shown or not yet)
    bool ready_ = false;     // out-ready showing
    uint8_t out_byte_ = 0;
    unsigned ready_left_ = 0;
    uint64_t ready_at_ns_ = 0;    // out-ready shows on no poll before this
    uint8_t fpdat_ = 0;      // what a read returns

    // Flash command in progress.
    Step step_ = Step::idle;
    uint8_t code_ = 0;
    bool accepted_ = false;  // the status offered is 0x0D
    uint32_t flash_address_ = 0;
    uint32_t length_ = 0;
    uint32_t done_ = 0;
    unsigned counts_[256] = {};
};

}  // namespace harlune_sim
