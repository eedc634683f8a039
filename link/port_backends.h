// The ports' own functions, each filling its PortOps table; port.cpp picks
// a table at port_open.
#pragma once

#include <cstdint>
#include <string>

#include "port.h"

// After a failed request: *problem gets name, errno's text and hint; errno
// is kept. Returns -1.
int port_failed(PortProblem *problem, const char *hint, const std::string *name = nullptr);

int ppdev_open(const char *path, PortProblem *problem);
int ppdev_claim(int fd, PortProblem *problem);
void ppdev_write_data(int fd, uint8_t value);
uint8_t ppdev_read_status(int fd);
void ppdev_close(int fd);

// device: "chip:ck=LINE,d=LINE[,rst=LINE]".
int gpio_open(const char *device, PortProblem *problem);
int gpio_claim(int fd, PortProblem *problem);
void gpio_write_data(uint8_t value);
uint8_t gpio_read_status();
void gpio_close(int fd);
