// umockdev handlers of the ipc and fwctl devices. every call completes at
// once: a read with nothing to deliver answers EAGAIN, as a non-blocking
// descriptor of the real driver would, and the host polls again.

#include "emulator/cardsim_devices.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/cardsim_ipc_frame.h"

namespace {

constexpr gulong k_ipc_bind = 0x40084208, k_ipc_unbind = 0x40084209;
constexpr gulong k_fwctl_rpc = 0x9a01;
constexpr size_t k_fwctl_arg_size = 32, k_fwctl_rec_size = 48;

using sim_clock = std::chrono::steady_clock;

// an answer the driver hands out once its time has come
struct timed_answer_s {
    sim_clock::time_point ready;
    cardsim_ipc_answer_s answer;
};

// the answers waiting per open descriptor, in the order the requests came:
// a late answer stays in line and is read before the next one, as a queue
// of the real driver would hand it out
struct ipc_device_s {
    cardsim_firmware* fw;
    const std::atomic<bool>* unplugged;
    std::mutex mutex;
    std::map<UMockdevIoctlClient*, std::deque<timed_answer_s>> pending;
};

constexpr size_t k_max_pending = 64;

struct fwctl_device_s {
    cardsim_firmware* fw;
    const std::atomic<bool>* unplugged;
};

// a call on a descriptor of a removed card fails at once, ENODEV
bool unplugged_answer(UMockdevIoctlClient* client, const std::atomic<bool>* unplugged)
{
    if (!unplugged->load()) {
        return false;
    }
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
}

gboolean ipc_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    if (unplugged_answer(client, dev->unplugged)) {
        return TRUE;
    }
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    cardsim_ipc_answer_s answer = cardsim_ipc_answer(*dev->fw, data->data, static_cast<size_t>(data->data_len));
    // a removal told before the request is carried out as the firmware takes it
    if (unplugged_answer(client, dev->unplugged)) {
        return TRUE;
    }
    if (answer.write_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, answer.write_errno);
        return TRUE;
    }
    if (!answer.silent) {
        std::lock_guard<std::mutex> lock(dev->mutex);
        auto& queue = dev->pending[client];
        if (queue.size() >= k_max_pending) {
            queue.pop_front();  // nobody reads them: the oldest are lost
        }
        auto ready = sim_clock::now() + std::chrono::milliseconds(answer.delay_ms);
        queue.push_back({ready, std::move(answer)});
    }
    umockdev_ioctl_client_complete(client, data->data_len, 0);
    return TRUE;
}

gboolean ipc_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    if (unplugged_answer(client, dev->unplugged)) {
        return TRUE;
    }
    std::unique_lock<std::mutex> lock(dev->mutex);
    auto it = dev->pending.find(client);
    if (it == dev->pending.end() || it->second.empty() || it->second.front().ready > sim_clock::now()) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    cardsim_ipc_answer_s answer = std::move(it->second.front().answer);
    it->second.pop_front();
    lock.unlock();
    if (answer.read_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, answer.read_errno);
        return TRUE;
    }
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    size_t n = std::min(answer.message.size(), static_cast<size_t>(data->data_len));
    umockdev_ioctl_data_update(data, 0, answer.message.data(), n);
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
    return TRUE;
}

gboolean ipc_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    if (unplugged_answer(client, static_cast<ipc_device_s*>(user)->unplugged)) {
        return TRUE;
    }
    gulong request = umockdev_ioctl_client_get_request(client);
    bool known = request == k_ipc_bind || request == k_ipc_unbind;
    umockdev_ioctl_client_complete(client, known ? 0 : -1, known ? 0 : ENOTTY);
    return TRUE;
}

// a new descriptor starts with nothing waiting: a client of a process that
// ended may have left answers behind under the same address
void ipc_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->pending.erase(client);
}

void ipc_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->pending.erase(client);
}

// resolved buffers, released once the call is completed
struct resolved_s {
    std::vector<UMockdevIoctlData*> held;
    ~resolved_s()
    {
        for (auto* d : held) {
            umockdev_ioctl_data_unref(d);
        }
    }
    UMockdevIoctlData* resolve(UMockdevIoctlData* from, gulong offset, gsize len)
    {
        GError* err = nullptr;
        UMockdevIoctlData* d = from ? umockdev_ioctl_data_resolve(from, offset, len, &err) : nullptr;
        g_clear_error(&err);
        if (d) {
            held.push_back(d);
        }
        return d;
    }
};

uint32_t rec32(const uint8_t* r, size_t at)
{
    uint32_t v;
    memcpy(&v, r + at, sizeof(v));
    return v;
}

uint64_t rec64(const uint8_t* r, size_t at)
{
    uint64_t v;
    memcpy(&v, r + at, sizeof(v));
    return v;
}

constexpr uint32_t k_fwctl_scope_max = 3;           // debug write full
constexpr uint32_t k_fwctl_max_rpc_len = 2u << 20;  // the fwctl core's bound on in_len and out_len
constexpr size_t k_fwctl_arg_max = 4096;            // larger arguments are not read at all
constexpr uint32_t k_fwctl_body_max = 1024;

// what the fwctl core checks before the driver sees the call: the size of
// the argument (a larger one only with zeros past what it knows), a known
// scope and lengths within its bound. 0 or the errno it fails with
int fwctl_core_check(resolved_s& r, UMockdevIoctlData* arg, UMockdevIoctlData* outer)
{
    uint32_t size = rec32(outer->data, 0), scope = rec32(outer->data, 4);
    uint32_t in_len = rec32(outer->data, 8), out_len = rec32(outer->data, 12);
    if (size < k_fwctl_arg_size) {
        return EINVAL;
    }
    if (size > k_fwctl_arg_size) {
        UMockdevIoctlData* whole = size <= k_fwctl_arg_max ? r.resolve(arg, 0, size) : nullptr;
        if (whole == nullptr) {
            return E2BIG;
        }
        for (size_t i = k_fwctl_arg_size; i < size; i++) {
            if (whole->data[i] != 0) {
                return E2BIG;
            }
        }
    }
    if (scope > k_fwctl_scope_max) {
        return EOPNOTSUPP;
    }
    if (in_len > k_fwctl_max_rpc_len || out_len > k_fwctl_max_rpc_len) {
        return EMSGSIZE;
    }
    return 0;
}

// what the vxc core driver checks of its own record: one whole record in and
// out, reserved words zero, a request body the firmware can take
int fwctl_driver_check(const uint8_t* outer, const uint8_t* rec)
{
    if (rec32(outer, 8) != k_fwctl_rec_size || rec32(outer, 12) != k_fwctl_rec_size) {
        return EINVAL;
    }
    if (rec32(rec, 8) != 0 || rec64(rec, 28) != 0 || rec32(rec, 12) > k_fwctl_body_max) {
        return EINVAL;
    }
    return 0;
}

// the record of an FWCTL_RPC: op@0 ep@4 rsvd@8 in_len@12 in@16, retval@24
// rsvd@28 out_len@36 out@40; the answer lands in out and in the out fields
// of the record the argument's out names
gboolean fwctl_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<fwctl_device_s*>(user);
    if (unplugged_answer(client, dev->unplugged)) {
        return TRUE;
    }
    cardsim_firmware* fw = dev->fw;
    if (umockdev_ioctl_client_get_request(client) != k_fwctl_rpc) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    resolved_s r;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* outer = r.resolve(arg, 0, k_fwctl_arg_size);
    if (outer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    if (int err = fwctl_core_check(r, arg, outer)) {
        umockdev_ioctl_client_complete(client, -1, err);
        return TRUE;
    }
    UMockdevIoctlData* rec = r.resolve(outer, 16, k_fwctl_rec_size);
    // in and out usually name the same record: resolved once, written once
    bool same = rec64(outer->data, 16) == rec64(outer->data, 24);
    UMockdevIoctlData* out_rec = same ? rec : r.resolve(outer, 24, k_fwctl_rec_size);
    if (rec == nullptr || out_rec == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    if (int err = fwctl_driver_check(outer->data, rec->data)) {
        umockdev_ioctl_client_complete(client, -1, err);
        return TRUE;
    }
    uint32_t opcode = rec32(rec->data, 0), endpoint = rec32(rec->data, 4);
    uint32_t in_len = rec32(rec->data, 12), out_cap = rec32(rec->data, 36);
    std::vector<uint8_t> req(in_len);
    if (in_len > 0) {
        UMockdevIoctlData* in = r.resolve(rec, 16, in_len);
        if (in == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        memcpy(req.data(), in->data, in_len);
    }
    cardsim_reply_s reply = fw->handle(endpoint, opcode, req.data(), req.size());
    if (unplugged_answer(client, dev->unplugged)) {
        return TRUE;
    }
    if (reply.silent) {
        umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
        return TRUE;
    }
    if (reply.delay_ms > 0) {
        // the call blocks as long as the firmware takes
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
    }
    if (reply.driver_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, reply.driver_errno);
        return TRUE;
    }
    // the driver copies what fits and reports the length it had
    size_t n = std::min<size_t>(reply.body.size(), out_cap);
    if (n > 0) {
        UMockdevIoctlData* out = r.resolve(out_rec, 40, out_cap);
        if (out == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_update(out, 0, reply.body.data(), n);
    }
    uint32_t out_len = static_cast<uint32_t>(reply.body.size());
    umockdev_ioctl_data_update(out_rec, 24, reinterpret_cast<guint8*>(&reply.fw_errno), 4);
    umockdev_ioctl_data_update(out_rec, 36, reinterpret_cast<guint8*>(&out_len), 4);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

}  // namespace

UMockdevIoctlBase* cardsim_ipc_device_new(cardsim_firmware* fw, const std::atomic<bool>* unplugged)
{
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    auto* dev = new ipc_device_s{fw, unplugged, {}, {}};
    g_object_set_data_full(G_OBJECT(handler), "cardsim-ipc", dev,
                           [](gpointer p) { delete static_cast<ipc_device_s*>(p); });
    g_signal_connect(handler, "handle-write", G_CALLBACK(ipc_write), dev);
    g_signal_connect(handler, "handle-read", G_CALLBACK(ipc_read), dev);
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(ipc_ioctl), dev);
    g_signal_connect(handler, "client-connected", G_CALLBACK(ipc_connected), dev);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(ipc_vanished), dev);
    return handler;
}

UMockdevIoctlBase* cardsim_fwctl_device_new(cardsim_firmware* fw, const std::atomic<bool>* unplugged)
{
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    auto* dev = new fwctl_device_s{fw, unplugged};
    g_object_set_data_full(G_OBJECT(handler), "cardsim-fwctl", dev,
                           [](gpointer p) { delete static_cast<fwctl_device_s*>(p); });
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(fwctl_ioctl), dev);
    return handler;
}

bool cardsim_attach(UMockdevTestbed* tb, const std::string& devnode, UMockdevIoctlBase* handler, std::string& error)
{
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), handler, &err)) {
        error = err ? err->message : "attach failed";
        g_clear_error(&err);
        return false;
    }
    return true;
}
