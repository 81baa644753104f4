// Button and LED tests: the operator presses the button and watches the LEDs;
// the service checks the button flag and drives the LED class. Each reply is
// the result byte alone.
#pragma once

#include <cstdint>

int cmd_request_btn_pressdown(uint8_t *reply, int cap);
int cmd_request_led_powerled(uint8_t *reply, int cap);
int cmd_request_led_zwaveled(uint8_t *reply, int cap);
int cmd_request_led_zigbeeled(uint8_t *reply, int cap);
int cmd_request_led_4gled(uint8_t *reply, int cap);
int cmd_request_led_errorled(uint8_t *reply, int cap);
int cmd_request_allLeds_flash(uint8_t *reply, int cap);
int cmd_request_allLeds_Restore(uint8_t *reply, int cap);
