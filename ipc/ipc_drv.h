#pragma once

// the driver header of a card message

#include <cstdint>

// driver header of one IPC message, handled as one 64-bit word:
// type bits 0-2, tag bits 8-15, payload length bits 16-31,
// endpoint (request) or firmware errno (response) bits 32-63.
// on the wire it is the first 8 bytes of the message, little-endian.

constexpr uint32_t IPC_DRV_HDR_TYPE_REQ = 2;
constexpr uint32_t IPC_DRV_HDR_TYPE_RSP = 3;

constexpr const char* IPC_DRV_DEFAULT_DEVICE = "/dev/voskipcdev";
constexpr unsigned long IPC_DRV_IOCTL_BIND = 0x40084208;
constexpr unsigned long IPC_DRV_IOCTL_UNBIND = 0x40084209;

// accessors. a call on a header of a type the field does not exist in is a
// programming error: the message goes to stderr, then an assertion stops the
// process (also in release builds). card input never reaches them, the
// request path checks the response type before reading typed fields.
uint32_t ipc_drv_hdr_get_type(uint64_t hdr);
void ipc_drv_hdr_set_type(uint64_t* hdr, uint32_t type);            // 2 or 3 only
uint8_t ipc_drv_hdr_get_tag(uint64_t hdr);                          // types 2, 3
void ipc_drv_hdr_set_tag(uint64_t* hdr, uint8_t tag);
uint16_t ipc_drv_hdr_get_pld_len(uint64_t hdr);                     // types 2, 3
void ipc_drv_hdr_set_pld_len(uint64_t* hdr, uint16_t len);
uint32_t ipc_drv_hdr_get_req_endpoint(uint64_t hdr);                // type 2 only
void ipc_drv_hdr_set_req_endpoint(uint64_t* hdr, uint32_t endpoint);
uint32_t ipc_drv_hdr_get_rsp_errno(uint64_t hdr);                   // type 3 only
void ipc_drv_hdr_set_rsp_errno(uint64_t* hdr, uint32_t err);

// header word <-> its 8 wire bytes
uint64_t ipc_drv_hdr_load(const uint8_t* bytes);
void ipc_drv_hdr_store(uint64_t hdr, uint8_t* bytes);

// opens path read-write (null: the default device); the descriptor or negative
int ipc_drv_open2(const char* path);
int ipc_drv_open();
int ipc_drv_close(int fd);

// attach / detach the descriptor to an endpoint (endpoint-side use only)
int ipc_drv_bind(int fd, uint32_t endpoint);
int ipc_drv_unbind(int fd, uint32_t endpoint);
