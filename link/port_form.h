// What the ports share to read their C2_PROG_DEV form and to say why a port
// cannot be had: the NAME=VALUE list splitter and the failure's reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "port.h"

// After a failed request: *problem gets name, errno's text and hint; errno
// is kept. Returns -1.
int port_failed(PortProblem *problem, const char *hint, const std::string *name = nullptr);
// The port refuses for a reason of its own: *problem gets detail and hint,
// errno err. Returns -1.
int port_refused(PortProblem *problem, int err, const std::string &detail, const std::string &hint);

// Each NAME=VALUE entry of a comma-separated list ("ck=17,d=27") in order,
// to `entry`, which returns why the entry is refused (empty: taken). `unit`
// names a value in the refusals ("line": "no lines given", "is not
// NAME=LINE"). An empty string, or the first refusal.
std::string for_each_entry(const std::string &list, const char *unit,
                           const std::function<std::string(const std::string &key, const std::string &value)> &entry);
