// Radio pairing and carrier tests: whether each radio stack has formed its
// network, and carrier transmissions the test station measures. Every reply
// is the result byte alone (0 = pass, 1 = fail).
#pragma once

#include <cstdint>

// Pass when the radio stack's network-information file is readable.
int cmd_request_zigbee_pair(uint8_t *reply, int cap);
int cmd_request_zwave_pair(uint8_t *reply, int cap);
int cmd_request_ble_dev_exsit(uint8_t *reply, int cap);

// Always pass: nothing on the gateway is touched.
int cmd_request_greepower_pair(uint8_t *reply, int cap);
int cmd_request_nxp_pair(uint8_t *reply, int cap);
int cmd_request_ble_scan(uint8_t *reply, int cap);

// Stops the NXP service, starts the tone and sends the probe frame to the
// NXP radio on its UART; passes when any answer arrives within 500 ms.
int cmd_request_nxp_singleCarrier(uint8_t *reply, int cap);
// Starts the Ember radio's tone; always passes.
int cmd_request_ember_singleCarrier(uint8_t *reply, int cap);
// Puts the BLE radio in direct-test mode over the message bus; always passes.
int cmd_request_ble_singleCarrier(uint8_t *reply, int cap);
