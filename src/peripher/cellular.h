// Cellular modem tests: the modem comes up on USB (3G and 4G models),
// answers "AT" (2G, 3G and 4G) and reports its SIM ready. Each model has its
// own modem, so one command code leads to a different test per model.
//
// The tests leave what they found for the ones that follow: the AT tests of
// the USB modems remember the modem's tty, the 2G AT test the UART on which
// the modem answered, and the SIM checks reuse them without another power
// cycle. Both survive the end of a client connection.
#pragma once

#include <cstddef>
#include <cstdint>

// 0x0301: the modem powers up and its tty appears.
int cmd_request_3g_usb_device(uint8_t *reply, int cap);
int cmd_request_4g_usb_device(uint8_t *reply, int cap);

// 0x0302: the modem answers "AT\r" with "OK".
int cmd_request_3g_at_cmd(uint8_t *reply, int cap);
int cmd_request_4g_at_cmd(uint8_t *reply, int cap);
int cmd_request_2g_at_cmd(uint8_t *reply, int cap);

// 0x0303: the modem answers "AT+CPIN?\r" with "READY".
int cmd_request_3g_sim_card_chk(uint8_t *reply, int cap);
int cmd_request_sim_card_chk(uint8_t *reply, int cap);
int cmd_request_2g_sim_card_chk(uint8_t *reply, int cap);

// Test use only: forgets the USB modem's tty and the 2G modem's port, as a
// freshly started service knows neither.
void cellularResetStateForTests();

// The names the modem's tty is found by, turned into what the tests use
// (cap bytes of output, always terminated):
// - the path remembered for an entry name found under the USB interface:
//   "/dev/" and the name, cut to fit;
// - on the MediaTek SDK, the basename command line for the path find
//   printed, and the tty path for the name basename printed.
void usbTtyPathOfEntry(const char *name, char *path, size_t cap);
void mtkBasenameCommand(const char *found, char *command, size_t cap);
void mtkTtyPathOfName(const char *name, char *path, size_t cap);
