// The GPIO chip served beside the parallel port: its lines, the line requests
// on it and the checks the kernel makes on the v2 uAPI (<linux/gpio.h>).
// The lines wired to the target (Config::gpio_wiring) reach the adapter as
// the data-register byte it understands:
//
//   rst driven low            reset control active
//   C2CK output at level v    C2CK driver on, level v; input: driver off
//   C2D output at level v     C2D driver on, level v; input: driver off
//
// An open-drain output at 1 and an open-source output at 0 drive nothing.
// Unwired lines drive nothing. Lines keep their state when released.
// C2CK driven while the rst line drives it low is a fault: the two lines are
// wired to the same pin, and only a released C2CK lets rst hold it.
// Internal to libharlune_sim.
#pragma once

#include <linux/gpio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core.h"
#include "feed.h"

namespace harlune_sim {

class GpioChip {
public:
    GpioChip(Core& core, Feed& feed) : core_(core), feed_(feed) {}

    // Apply the configuration: every line an input, the busy lines held by
    // another consumer. Open descriptors and requests stay open and keep
    // their lines.
    void configure();

    // Descriptors: the chip's, and the line requests'.
    void opened(int fd);
    bool is_chip(int fd) const;
    bool is_request(int fd) const;
    // A request released whose descriptor number no one of ours reuses.
    bool was_request(int fd) const;
    // The chip closed (false) or a request released (true).
    bool closed(int fd);

    // Chip requests: 0 or an errno, as the kernel answers.
    int chip_info(gpiochip_info& info) const;
    int line_info(gpio_v2_line_info& info) const;
    int check_request(const gpio_v2_line_request& request) const;
    // A checked request now held by descriptor `fd`, its config applied.
    void hold(int fd, const gpio_v2_line_request& request);
    // The claimed lines to the adapter (no data write counted).
    void drive();

    // Line request requests: 0 or an errno. A configuration or values set
    // is one data write, a get of values one status read.
    int set_config(int fd, const gpio_v2_line_config& config);
    int set_values(int fd, const gpio_v2_line_values& values);
    int get_values(int fd, gpio_v2_line_values& values);
    // The lines a request holds.
    unsigned line_count(int fd) const;

private:
    struct Line {
        int owner = -1;  // the request holding it
        bool busy = false;
        uint64_t flags = GPIO_V2_LINE_FLAG_INPUT;  // as configured last
        int value = 0;   // output level on the wire
    };
    struct Request {
        int fd;
        std::string consumer;
        std::vector<uint32_t> offsets;
    };

    Line* line(uint32_t offset);
    const Line* line(uint32_t offset) const;
    const Request* find(int fd) const;
    static bool drives(const Line& l);
    void apply(Line& l, const gpio_v2_line_config& config, unsigned index);
    // The fault of C2CK driven against the reset line, if it is.
    void check_reset_fight();
    void forget_released(int fd);
    // A get of `mask`; `with_c2d`: the C2D line is in it.
    int check_get(int fd, uint64_t mask, bool& with_c2d) const;
    // What a get returns, given the C2D level sampled and the C2CK wire.
    uint64_t values(int fd, uint64_t mask, int c2d, int c2ck) const;
    // The wired lines as a data-register byte.
    uint8_t data() const;
    bool reset_wired() const;
    // The lines to the adapter as a data write: G and the ck, d and rst lines.
    void write();

    Core& core_;
    Feed& feed_;
    std::vector<Line> lines_;
    std::vector<Request> requests_;
    std::vector<int> chip_fds_;
    std::vector<int> released_;
};

}  // namespace harlune_sim
