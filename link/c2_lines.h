// The link's data-register shadow and its line primitives, private to link/
// (its tests and the benchmark).
#pragma once

#include <cstdint>

extern uint8_t dshadow;  // shadow of the data register; never read back

// Each primitive changes its own bit of dshadow and writes the whole byte
// with one PPWDATA, even when the bit already had that value.
void C2CK_RST_ACT();
void C2CK_RST_DEACT();
void C2CK_ENA();
void C2CK_DIS();
void C2CK_SET(int level);
void C2CK_HIGH();
void C2CK_LOW();
void C2D_ENA();
void C2D_DIS();
void C2D_SET(int level);
void C2D_SETH();
void C2D_SETL();
void C2D_SETH_EN();  // level first, then the driver
void C2D_SETL_EN();
// C2D as seen on BUSY (status bit 7, inverted by the port): 1 or 0.
int C2D_READ();
// The same read, whose answer may come later: mask is ORed into *byte if C2D
// reads 1, at once or by the next C2D_READ or port_sync.
void C2D_READ_INTO(uint8_t *byte, uint8_t mask);
