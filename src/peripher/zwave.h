// Z-Wave include and exclude: the station proves that the gateway's Z-Wave
// radio can add and remove a real end device.
#pragma once

#include <cstdint>

// Starts an inclusion, waits 12 s and reads the device list. An empty list
// ("[]") fails with the result byte alone; anything else passes with the
// text "mac|version|battery|pir" of the list's last device (empty texts and
// zeros when the list could not be read), cut to the capacity.
int cmd_request_zwave_include_and_query(uint8_t *reply, int cap);

// Starts an exclusion and waits 12 s, until the device list is empty, at
// most 5 times. Passes when the list became empty.
int cmd_request_zwave_exclude(uint8_t *reply, int cap);
