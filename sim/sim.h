// The simulator's public interface: a C2 target behind a simulated adapter,
// served as a parallel port (ppdev), a GPIO chip and FTDI chips on USB.
//
// libharlune_sim.so interposes open/open64/close/ioctl, the sleep and
// monotonic-clock calls, sched_setscheduler/sched_setparam and mlockall of the
// process it is loaded into (LD_PRELOAD for the real harlune binary, a plain
// link dependency for the unit tests). It serves a parallel-port device path
// and a GPIO chip path; every other file goes through to the C library.
//
// Port side: PPCLAIM, PPWDATA and PPRSTATUS are served; anything else is
// recorded as a fault and fails with ENOTTY. The data-register byte drives the
// adapter (reset control, C2CK and C2D levels and enables); the status byte is
// 0x78 with bit 7 set when C2D is low (BUSY is inverted by the port).
//
// GPIO side (v2 uAPI of <linux/gpio.h>): the chip answers CHIPINFO, LINEINFO
// and GET_LINE with the kernel's checks; a line request answers SET_CONFIG and
// SET_VALUES (each one data write) and GET_VALUES (one status read). The lines
// wired to C2CK, C2D and reset (Config::gpio_wiring) become the same adapter
// byte. Without a reset line a C2CK low of 20 us or more begun between frames
// is the host's reset pulse, unless the next START follows within 2 us.
//
// FTDI side: the library defines libusb-1.0's functions (<libusb.h>) that
// libftdi1 calls, and serves the chips of Config::ftdi_devices as USB
// devices: descriptors, the SIO control requests, bulk transfers in packets
// of 512 bytes (64 at full speed), every IN packet headed by the two
// modem-status bytes. libftdi1's own code runs unchanged over them. On the
// wired chip each MPSSE set-bits command is one data write and each
// read-bits command one status read, on the same adapter; commands run on
// the chip's own time, write transfers start a USB frame apart at least, and
// each IN transfer costs the host a round trip (Config::ftdi_rtt_ns).
//
// Time (Config::clock): in virtual_time, sleeps are recorded, not slept, and
// CLOCK_MONOTONIC/CLOCK_MONOTONIC_RAW/CLOCK_BOOTTIME read a virtual clock that
// advances by request_ns per port request, by clock_step_ns per clock read and
// by the duration of every sleep: runs are deterministic and fast. In wire
// mode the wire runs on the real clock, preemption of the host included, while
// sleeps are skipped and the host's clocks jump over them; real mode really
// sleeps too. In every mode C2CK low for 20 us or more resets the target; a
// strobe low for 5 us up to 20 us does as Config::mid_low says.
//
// Injected for tests: stalls (the host held inside a strobe), holds (the host
// held with C2CK high, after chosen strobes or flash commands), and strobe
// lows of 5 us up to 20 us taken as clock edges, resets or either at random.
// Preloaded, the library writes its files when the device or a line request
// is closed, and at exit only in a process that opened the device or the chip.
//
// This library is test and demo support; it is never installed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace harlune_sim {

// Make the nth command with a given code refuse at one of its status reads.
struct Refusal {
    uint8_t command = 0;   // 0x06 block read, 0x07 block write, 0x08 page erase, 0x03 device erase
    unsigned nth = 1;      // counted from 1 since configure()
    unsigned point = 1;    // 1: first status, 2: second status
    uint8_t code = 0x00;   // status offered instead of 0x0D
};

enum class Clock {
    virtual_time,  // counted time: deterministic traces
    wire,          // real time on the wire, sleeps skipped
    real,          // real time, sleeps slept
};

enum class Attach {
    target,    // the target model answers
    detached,  // nothing on the wire: C2D pulled up
    c2d_low,   // C2D shorted low
    scripted,  // no target; status reads return Config::samples in order
};

// A strobe low for 5 us up to 20 us: silicon promises a clock edge only up to
// 5 us and a reset from 20 us.
enum class MidLow {
    edge,    // a clock edge
    reset,   // a reset, as a 20 us low through the C2CK driver
    random,  // each one a reset with probability 1/2 (mid_low_seed)
};

// A chip offset wired to nothing.
inline constexpr uint32_t kNoLine = 0xFFFFFFFF;

// The chip offsets the target's wires are on.
struct GpioWiring {
    uint32_t ck = 17;
    uint32_t d = 27;
    uint32_t rst = kNoLine;  // kNoLine: no reset line, C2CK alone resets
};

// A USB device of the FTDI chips served behind libusb's API.
struct FtdiDevice {
    uint16_t vendor = 0x0403;
    // FT232H; 6010 FT2232H, 6011 FT4232H, 6001 FT232R and 6015 FT230X (no MPSSE)
    uint16_t product = 0x6014;
    std::string serial = "HL0001";
};

// How opening an FTDI device fails.
enum class FtdiFail {
    none,
    perm,  // libusb_open fails LIBUSB_ERROR_ACCESS (libftdi: -4)
    busy,  // libusb_claim_interface fails LIBUSB_ERROR_BUSY (libftdi: -5)
};

// A response time of the target: fixed (lo == hi) or uniform in lo..hi.
struct ResponseTime {
    uint64_t lo_ns = 0;
    uint64_t hi_ns = 0;
};

// How PPCLAIM answers. A kernel never says busy: the claim sleeps until the
// holder lets go, and a signal ends the sleep with EINTR.
enum class Claim {
    granted,
    block,   // another holder never lets go: blocks until a signal, then EINTR
    enxio,   // the port is gone, or held exclusively
    einval,  // not a ppdev device (a printer device, /dev/lp0)
};

struct Config {
    std::string device = "/dev/parport0";  // the parallel-port path served
    Attach attach = Attach::target;
    Claim claim = Claim::granted;
    // Every request of the device or the chip (claims, writes and reads
    // counted from 1, as signal_at counts them) after this many fails with
    // ENODEV, the port or chip gone. 0: never.
    uint64_t gone_after = 0;

    // The GPIO chip served beside the parallel port, on the same adapter.
    std::string gpio_chip = "/dev/gpiochip0";  // empty: none
    GpioWiring gpio_wiring;
    uint32_t gpio_lines = 54;                  // lines of the chip
    std::vector<uint32_t> gpio_busy;           // offsets held by another consumer
    // Names the chip reports for lines (offset, name); the others are GPIO<n>.
    // Two lines may share a name, as on a real chip.
    std::vector<std::pair<uint32_t, std::string>> gpio_names;
    // A line request (SET_CONFIG, SET_VALUES, GET_VALUES) of a slow chip, an
    // expander behind I2C or USB: it takes this long in virtual time instead
    // of request_ns, and at least this long (spun) in wire and real time.
    // 0: as any port request.
    uint64_t gpio_request_ns = 0;
    // The same for one kind of line request (0: gpio_request_ns).
    uint64_t gpio_set_values_ns = 0, gpio_set_config_ns = 0, gpio_get_values_ns = 0;
    // A kernel before 5.10: CHIPINFO answers, every v2 ioctl is EINVAL.
    bool gpio_v1_only = false;
    // A chip whose driver cannot pull lines up or down: a line request or
    // configuration carrying a bias flag is EINVAL.
    bool gpio_bias_refused = false;

    // FTDI chips behind libusb's API, on the same adapter: the first
    // device's interface ftdi_interface has the pins of ftdi_wiring (0-7
    // ADBUS0-7, 8-15 ACBUS0-7) wired to the target.
    std::vector<FtdiDevice> ftdi_devices = {FtdiDevice{}};
    GpioWiring ftdi_wiring = {0, 1, kNoLine};
    int ftdi_interface = 0;          // 0: A, 1: B
    FtdiFail ftdi_fail = FtdiFail::none;
    uint64_t ftdi_rtt_ns = 125000;   // one USB round trip
    bool ftdi_full_speed = false;    // bulk packets of 64 bytes instead of 512
    uint64_t ftdi_packet_gap_ns = 0; // the chip waits this long between the packets of one OUT transfer
    uint64_t ftdi_command_ns = 50;   // chip time per MPSSE command (clocking ones: their bit periods)
    uint64_t ftdi_unplug_at = 0;     // unplugged at bulk transfer N (from 1 since configure()); 0: never

    // Target model.
    uint8_t device_id = 0x09;
    uint32_t flash_size = 0x4000;
    uint32_t page_size = 512;
    unsigned wait_strobes = 1;   // WAIT strobes of a data frame up to and including the one reading 1; 0: never
    unsigned busy_polls = 0;     // Address Reads that still show in-busy after a byte is written
    unsigned ready_polls = 0;    // Address Reads before out-ready shows for a byte offered
    unsigned erase_polls = 0;    // extra Address Reads before the device-erase status shows
    bool freeze_busy = false;    // in-busy never clears once set
    bool freeze_ready = false;   // out-ready never shows
    uint32_t seed = 0;           // non-zero: WAIT 1..8 strobes, busy/ready 0..4 polls, drawn per event
    // Response times on the target's own (wire) time, on top of the counts
    // above: a WAIT field ends on no strobe sooner than wait_time after the
    // field began, in-busy clears on no poll sooner than busy_time after the
    // FPDAT write, out-ready shows on no poll sooner than ready_time after
    // the byte was offered. Each event draws from lo..hi with response_seed.
    ResponseTime wait_time, busy_time, ready_time;
    uint32_t response_seed = 0;
    std::vector<Refusal> refusals;
    std::vector<int> samples;    // Attach::scripted: C2D level of each status read

    // Time.
    Clock clock = Clock::virtual_time;
    uint32_t request_ns = 1000;    // virtual_time: one port request
    uint32_t clock_step_ns = 250;  // virtual_time: one clock read
    // A PPWDATA or PPRSTATUS (and the claim) of a real port: it takes this
    // long instead of request_ns in virtual time, and at least this long
    // (spun) in wire and real time. 0: as request_ns.
    uint64_t ppdev_request_ns = 0;

    // Stalls: the host held for stall_ns right after a strobe (a write that
    // takes C2CK from high to low through the clock level or driver; counted
    // from 1 since configure()). A strobe is stalled when any selector picks it.
    uint64_t stall_ns = 0;               // 0: no stalls
    std::vector<uint64_t> stall_at;      // these strobes
    uint64_t stall_every = 0;            // every K-th strobe (0: none)
    uint32_t stall_one_in = 0;           // each strobe with probability 1/M (0: none)
    uint32_t stall_seed = 0;             // the generator of stall_one_in alone

    // Strobe lows of 5 us up to 20 us (an unplanned reset, when they reset).
    MidLow mid_low = MidLow::edge;
    uint32_t mid_low_seed = 0;           // the generator of MidLow::random alone

    // Holds with C2CK high: the host held for hold_ns, as a stall holds it,
    // never while C2CK is low, once the request that leaves C2CK high has
    // returned (at the next clock read, after the reading, or request).
    uint64_t hold_ns = 0;                // 0: no holds
    std::vector<uint64_t> hold_at;       // after the write that ends these strobes (from 1)
    bool hold_after_commands = false;    // after each flash command completed (see README)

    // sched_setscheduler, sched_setparam and mlockall reach the C library
    // (otherwise they fail with EPERM); counted either way.
    bool allow_rt = false;

    // Recording.
    bool trace = true;           // keep the request trace and the frame trace
    uint64_t signal_at = 0;      // raise `signal` during port request number signal_at (from 1)
    int signal = 0;

    // Files (used by the preloaded library; empty: none).
    // Written at close, and at exit in a process that opened the device or the chip.
    std::string flash_file;      // loaded by configure() when it exists, saved whole
    std::string trace_file;      // request trace
    std::string frames_file;     // frame trace
    std::string report_file;     // counters and faults
};

struct Stats {
    uint64_t opens = 0, closes = 0, claims = 0;
    uint64_t writes = 0, reads = 0, others = 0;
    uint64_t releases = 0;                   // GPIO line requests closed
    uint64_t sleep_calls = 0, sleep_us = 0;  // sleeps asked for
    uint64_t sleep_real_us = 0;              // Clock::real: time actually spent in them
    uint64_t address_writes = 0, address_reads = 0, data_writes = 0, data_reads = 0;
    uint64_t wait_strobes = 0, resets = 0;
    uint64_t block_reads = 0, block_writes = 0, page_erases = 0, device_erases = 0;
    uint64_t strobes = 0;            // writes taking C2CK high to low by its level or driver
    uint64_t stalls = 0;             // stalls injected
    uint64_t holds = 0;              // holds with C2CK high injected
    uint64_t unplanned_resets = 0;   // resets by C2CK held low through its driver
    uint64_t cut_frames = 0;         // frames in progress when a reset came
    uint64_t desync_events = 0;      // protocol faults not recorded: host and target out of step
    uint64_t early_frames = 0;       // first frames starting less than 2 us after a reset
    uint64_t lows_over_5us = 0;      // strobes low for 5 us or more of wire time
    uint64_t lows_over_20us = 0;     // strobes low for 20 us or more (each one a reset)
    uint64_t longest_low_ns = 0;     // the longest strobe low phase
    uint64_t shortest_low_ns = 0;    // the shortest strobe low phase (0: none)
    uint64_t host_holds = 0;         // wire/real: 5 us or more from one request to the next, not asleep, reset released
    uint64_t longest_hold_ns = 0;
    uint64_t usb_writes = 0;         // FTDI: bulk OUT transfers (libftdi's chunks)
    uint64_t usb_bytes_out = 0;      // FTDI: bytes of the bulk OUT transfers
    uint64_t usb_reads = 0;          // FTDI: bulk IN transfers
    uint64_t round_trips = 0;        // FTDI: bulk IN transfers, each a round trip for the host
    uint64_t mpsse_commands = 0;     // FTDI: MPSSE commands decoded, unknown ones included
    uint64_t transfer_lows = 0;      // FTDI: write transfers ending with C2CK low, no reset pulse
    uint64_t packet_lows = 0;        // FTDI: strobes low across a packet boundary inside a write transfer
    uint64_t unseen_writes = 0;      // FTDI: write frames begun while the host had not read every earlier answer
    uint64_t answer_stalls = 0;      // FTDI: write transfers that filled the chip's answer buffer (timed out)
    uint64_t rt_requests = 0;        // sched_setscheduler, sched_setparam and mlockall calls
};

// Reset everything (target, flash erased to 0xFF or loaded from flash_file,
// traces, counters, faults, clock) and apply the configuration.
void configure(const Config& config);
// The configuration the HARLUNE_SIM_* environment variables give (see README).
Config config_from_env();
const Config& config();

// Request trace, tokens joined by single spaces:
//   C claim, Wxx data write, Rxx status read (value returned), Xnnnnnnnn other
//   request, Dn n microseconds (>= 1) of wire time between two requests
//   (an injected stall or hold shows as one after its write).
//   GPIO: L line request (the claim); Gabc a write, a, b, c the ck, d and rst
//   lines: 0/1 output low/high, z input, - not requested; g0/g1 a read (the
//   C2D value returned; g- without the d line).
//   FTDI: Fabc a set-bits command (the ck, d and rst pins as for G; - no rst
//   pin; also each edge a clocking command makes on a wired pin), f0/f1 a
//   read-bits command (f- of the byte without the d pin), U the end of a USB
//   write transfer; Dn then the chip's time between commands.
std::string trace();
// Frame trace: AW:xx, AR:xx, DW:xx, DR:xx (one-byte value, hex; longer
// values in full), RESET when the target saw a reset.
std::string frames();
// Faults in the order found, each "<what> (request n)"; the first 1000 are kept.
const std::vector<std::string>& faults();
// All faults found, including those no longer kept as text.
uint64_t fault_count();
const Stats& stats();
// Counters and faults as the report file holds them.
std::string report();
std::vector<uint8_t>& flash();
bool programming_mode();
// Write the configured output files now.
void save();

}  // namespace harlune_sim
