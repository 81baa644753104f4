// Z-Wave include and exclude: the station proves that the gateway's Z-Wave
// radio can add and remove a real end device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Starts an inclusion, waits 12 s and reads the device list. An empty list
// ("[]") fails with the result byte alone; anything else passes with the
// text "mac|version|battery|pir" of the list's last device (empty texts and
// zeros when the list could not be read), cut to the capacity.
int cmd_request_zwave_include_and_query(uint8_t *reply, int cap);

// Starts an exclusion and waits 12 s, until the device list is empty, at
// most 5 times. Passes when the list became empty.
int cmd_request_zwave_exclude(uint8_t *reply, int cap);

// What the inclusion reports of a device: two texts of at most 31
// characters (longer ones are cut) and two integers.
inline constexpr size_t kZwaveFieldSize = 32;
struct ZwaveDevice {
    std::array<char, kZwaveFieldSize> mac;
    std::array<char, kZwaveFieldSize> version;
    int32_t battery;
    int32_t pir;
};

// Reads the device list the script printed (one line of JSON). Each element
// of the list overwrites the fields it holds, so the last device is the one
// reported; a member that is missing, of another type or out of range leaves
// its field as it was. Text that is not a JSON array leaves them all.
void readDevices(const char *list, ZwaveDevice &device);
