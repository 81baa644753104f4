// Button and LED tests: the operator presses the button and watches the LEDs;
// the service checks the button flag and drives the LED class. Each reply is
// the result byte alone.
#pragma once

#include <cstdint>

// 0x0603: the operator presses the button within 10 s of the request.
int cmd_request_btn_pressdown(uint8_t *reply, int cap);

// 0x0701 to 0x0705: the LED on for 2 s, then off; fails when its brightness
// file cannot be written.
int cmd_request_led_powerled(uint8_t *reply, int cap);
int cmd_request_led_zwaveled(uint8_t *reply, int cap);
int cmd_request_led_zigbeeled(uint8_t *reply, int cap);
int cmd_request_led_4gled(uint8_t *reply, int cap);
int cmd_request_led_errorled(uint8_t *reply, int cap);

// 0x0706: starts the peripheral script's blink of all LEDs in the background;
// passes once it started.
int cmd_request_allLeds_flash(uint8_t *reply, int cap);
// 0x0707: stops a blink and starts the script's restore of the LEDs' normal
// state in the background; passes once it started.
int cmd_request_allLeds_Restore(uint8_t *reply, int cap);
