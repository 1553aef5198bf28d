#pragma once

#include <umockdev.h>

#include <atomic>
#include <string>

#include "emulator/cardsim_firmware.h"

// the card's character devices, served on umockdev's handler thread: the
// vosk ipc device (write a request, read its response) and the fwctl device
// (one FWCTL_RPC ioctl per exchange). the firmware and the unplugged flag
// outlive the handler. while unplugged is set, every call on a descriptor
// opened before fails ENODEV, as the kernel fails them once the driver let
// go of a removed device: the handler stays attached, since a detached one
// drops its clients and umockdev ends a client process that loses its socket

UMockdevIoctlBase* cardsim_ipc_device_new(cardsim_firmware* fw, const std::atomic<bool>* unplugged);
UMockdevIoctlBase* cardsim_fwctl_device_new(cardsim_firmware* fw, const std::atomic<bool>* unplugged);

// serves devnode ("/dev/voskipcdev0") through handler; false with a message
bool cardsim_attach(UMockdevTestbed* tb, const std::string& devnode, UMockdevIoctlBase* handler, std::string& error);
