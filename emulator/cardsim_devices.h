#pragma once

#include <umockdev.h>

#include <string>

#include "emulator/cardsim_firmware.h"

// the card's character devices, served on umockdev's handler thread: the
// vosk ipc device (write a request, read its response) and the fwctl device
// (one FWCTL_RPC ioctl per exchange). the firmware outlives the handler.

UMockdevIoctlBase* cardsim_ipc_device_new(cardsim_firmware* fw);
UMockdevIoctlBase* cardsim_fwctl_device_new(cardsim_firmware* fw);

// serves devnode ("/dev/voskipcdev0") through handler; false with a message
bool cardsim_attach(UMockdevTestbed* tb, const std::string& devnode, UMockdevIoctlBase* handler, std::string& error);
