// umockdev handlers of the ipc and fwctl devices. every call completes at
// once: a read with nothing to deliver answers EAGAIN, as a non-blocking
// descriptor of the real driver would, and the host polls again.

#include "emulator/cardsim_devices.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "emulator/cardsim_ipc_frame.h"

namespace {

constexpr gulong k_ipc_bind = 0x40084208, k_ipc_unbind = 0x40084209;
constexpr gulong k_fwctl_rpc = 0x9a01;
constexpr size_t k_fwctl_arg_size = 32, k_fwctl_rec_size = 48;

// a pending answer per open descriptor
struct ipc_device_s {
    cardsim_firmware* fw;
    std::mutex mutex;
    std::map<UMockdevIoctlClient*, cardsim_ipc_answer_s> pending;
};

gboolean ipc_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
    cardsim_ipc_answer_s answer = cardsim_ipc_answer(*dev->fw, data->data, static_cast<size_t>(data->data_len));
    if (answer.write_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, answer.write_errno);
        return TRUE;
    }
    {
        std::lock_guard<std::mutex> lock(dev->mutex);
        dev->pending[client] = std::move(answer);
    }
    umockdev_ioctl_client_complete(client, data->data_len, 0);
    return TRUE;
}

gboolean ipc_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* dev = static_cast<ipc_device_s*>(user);
    std::unique_lock<std::mutex> lock(dev->mutex);
    auto it = dev->pending.find(client);
    if (it == dev->pending.end() || it->second.silent) {
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    cardsim_ipc_answer_s answer = std::move(it->second);
    dev->pending.erase(it);
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

gboolean ipc_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer)
{
    gulong request = umockdev_ioctl_client_get_request(client);
    bool known = request == k_ipc_bind || request == k_ipc_unbind;
    umockdev_ioctl_client_complete(client, known ? 0 : -1, known ? 0 : ENOTTY);
    return TRUE;
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

// the record of an FWCTL_RPC: op@0 ep@4 in_len@12 in@16, retval@24
// out_len@36 out@40; the answer lands in out and the record's out fields
gboolean fwctl_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* fw = static_cast<cardsim_firmware*>(user);
    if (umockdev_ioctl_client_get_request(client) != k_fwctl_rpc) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    resolved_s r;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* outer = r.resolve(arg, 0, k_fwctl_arg_size);
    UMockdevIoctlData* rec = r.resolve(outer, 16, k_fwctl_rec_size);
    if (rec == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
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
    if (reply.silent) {
        umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
        return TRUE;
    }
    if (reply.driver_errno != 0) {
        umockdev_ioctl_client_complete(client, -1, reply.driver_errno);
        return TRUE;
    }
    // the driver copies what fits and reports the length it had
    size_t n = std::min<size_t>(reply.body.size(), out_cap);
    if (n > 0) {
        UMockdevIoctlData* out = r.resolve(rec, 40, out_cap);
        if (out == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_update(out, 0, reply.body.data(), n);
    }
    uint32_t out_len = static_cast<uint32_t>(reply.body.size());
    umockdev_ioctl_data_update(rec, 24, reinterpret_cast<guint8*>(&reply.fw_errno), 4);
    umockdev_ioctl_data_update(rec, 36, reinterpret_cast<guint8*>(&out_len), 4);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

}  // namespace

UMockdevIoctlBase* cardsim_ipc_device_new(cardsim_firmware* fw)
{
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    auto* dev = new ipc_device_s{fw, {}, {}};
    g_object_set_data_full(G_OBJECT(handler), "cardsim-ipc", dev,
                           [](gpointer p) { delete static_cast<ipc_device_s*>(p); });
    g_signal_connect(handler, "handle-write", G_CALLBACK(ipc_write), dev);
    g_signal_connect(handler, "handle-read", G_CALLBACK(ipc_read), dev);
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(ipc_ioctl), dev);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(ipc_vanished), dev);
    return handler;
}

UMockdevIoctlBase* cardsim_fwctl_device_new(cardsim_firmware* fw)
{
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(fwctl_ioctl), fw);
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
