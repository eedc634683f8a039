/* A small 8051 program: counts on port 0. */
__sfr __at(0xA4) P0MDOUT;
__sfr __at(0x80) P0;

void main(void)
{
    unsigned char i = 0;
    P0MDOUT = 0xFF;
    for (;;)
        P0 = i++;
}
