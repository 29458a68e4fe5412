#include "registry.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "async_transfers.hpp"


namespace vad {
namespace {

template <class T>
std::uintptr_t token_of(T* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

constexpr std::size_t kRootHubPorts = 4;  // more when a device sits on a higher port

}  // namespace

Registry& Registry::get() {
    // Never destroyed: threads of the host process may still sit in a transfer while it exits.
    static Registry* r = new Registry;
    return *r;
}

Registry::Registry() {
    const char* env = std::getenv("FDHOST_VADAPTER");
    if (configure(env ? env : "") != 0) {
        std::fprintf(stderr, "vadapter: FDHOST_VADAPTER ignored: %s\n", error_.c_str());
        configure("");
    }
}

std::string Registry::last_error() {
    std::lock_guard lk(mu_);
    return error_;
}

void Registry::set_error(std::string msg) {
    std::lock_guard lk(mu_);
    error_ = std::move(msg);
}

int Registry::configure(std::string_view text) {
    WorldConfig cfg;
    std::string error;
    if (!parse_config(text, cfg, error)) {
        set_error(std::move(error));
        return -1;
    }
    std::vector<std::shared_ptr<VirtualDevice>> adapters, others;
    for (std::size_t i = 0; i < cfg.adapters.size(); ++i) {
        adapters.push_back(make_adapter_device(cfg.adapters[i], static_cast<int>(i), error));
        if (!adapters.back()) {
            set_error(std::move(error));
            return -1;
        }
    }
    for (const auto& o : cfg.others) others.push_back(make_other_device(o));

    std::lock_guard lk(mu_);
    for (const auto& d : enumeration_) {
        d->retired = true;
        if (d->adapter) d->adapter->retire();
    }
    for (auto it = devices_.begin(); it != devices_.end();)
        it = it->second->refs <= 0 ? devices_.erase(it) : std::next(it);
    enumeration_.clear();
    for (const DeviceRef& r : cfg.order) {
        auto& d = r.adapter ? adapters[static_cast<std::size_t>(r.index)] : others[static_cast<std::size_t>(r.index)];
        install(d);
        enumeration_.push_back(d);
    }
    adapters_ = std::move(adapters);
    others_ = std::move(others);
    configured_ = adapters_.size();
    config_ = std::move(cfg);
    error_.clear();
    device_changed();  // transfers on the devices that are gone end
    return 0;
}

void Registry::install(const std::shared_ptr<VirtualDevice>& d) {
    d->token = next_token();
    devices_[d->token] = d;
}

bool Registry::present(const VirtualDevice& d) const {
    return !d.retired && (!d.adapter || d.adapter->present());
}

void Registry::forget_if_unused(const std::shared_ptr<VirtualDevice>& d) {
    if (d->refs <= 0 && !present(*d)) devices_.erase(d->token);
}

// ---------------------------------------------------------------- devices

ssize_t Registry::device_list(libusb_device*** list) {
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lk(mu_);
    std::vector<std::shared_ptr<VirtualDevice>> found;
    for (const auto& d : enumeration_)
        if (present(*d)) found.push_back(d);
    auto** out = static_cast<libusb_device**>(std::calloc(found.size() + 1, sizeof(libusb_device*)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    for (std::size_t i = 0; i < found.size(); ++i) {
        ++found[i]->refs;
        out[i] = reinterpret_cast<libusb_device*>(found[i]->token);
    }
    *list = out;
    return static_cast<ssize_t>(found.size());
}

void Registry::free_device_list(libusb_device** list, bool unref_devices) {
    if (!list) return;
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p) unref(*p);
    std::free(list);
}

libusb_device* Registry::ref(libusb_device* dev) {
    std::lock_guard lk(mu_);
    const auto it = devices_.find(token_of(dev));
    if (it != devices_.end()) ++it->second->refs;
    return dev;
}

void Registry::unref(libusb_device* dev) {
    std::lock_guard lk(mu_);
    const auto it = devices_.find(token_of(dev));
    if (it == devices_.end()) return;
    const auto d = it->second;
    --d->refs;
    forget_if_unused(d);
}

std::shared_ptr<VirtualDevice> Registry::device(libusb_device* dev) {
    std::lock_guard lk(mu_);
    const auto it = devices_.find(token_of(dev));
    return it == devices_.end() ? nullptr : it->second;
}

libusb_device* Registry::parent(libusb_device* dev) {
    std::lock_guard lk(mu_);
    const auto it = devices_.find(token_of(dev));
    if (it == devices_.end() || it->second->port == 0) return nullptr;
    for (const auto& d : enumeration_)
        if (d->is_hub() && d->port == 0 && d->bus == it->second->bus && present(*d))
            return reinterpret_cast<libusb_device*>(d->token);
    return nullptr;
}

std::vector<const VirtualDevice*> Registry::present_on(std::uint8_t usb_bus) const {
    std::vector<const VirtualDevice*> out;
    for (const auto& d : enumeration_)
        if (d->bus == usb_bus && present(*d)) out.push_back(d.get());
    return out;
}

HubPorts Registry::hub_ports(const VirtualDevice& hub) const {
    std::vector<std::uint8_t> ports;
    for (const VirtualDevice* d : present_on(hub.bus))
        if (d != &hub && d->port > 0) ports.push_back(d->port);
    HubPorts p;
    p.connected.assign(std::max<std::size_t>(kRootHubPorts, ports.empty() ? 0 : *std::max_element(ports.begin(), ports.end())),
                       false);
    for (const std::uint8_t n : ports) p.connected[n - 1u] = true;
    return p;
}

std::shared_ptr<Handle> Registry::handle(libusb_device_handle* h) {
    std::lock_guard lk(mu_);
    const auto it = handles_.find(token_of(h));
    return it == handles_.end() ? nullptr : it->second;
}

std::shared_ptr<Handle> Registry::live_handle(libusb_device_handle* h) {
    const auto it = handles_.find(token_of(h));
    if (it == handles_.end() || !present(*it->second->dev)) return nullptr;
    return it->second;
}

// ---------------------------------------------------------------- handles

int Registry::open(libusb_device* dev, libusb_device_handle** out, bool open_fault) {
    if (!out) return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lk(mu_);
    const auto it = devices_.find(token_of(dev));
    if (it == devices_.end() || !present(*it->second)) return LIBUSB_ERROR_NO_DEVICE;
    const auto& d = it->second;
    if (d->adapter && open_fault)
        if (int e = d->adapter->device_fault(FaultKind::OpenFail, FaultMatch{})) return e;
    auto h = std::make_shared<Handle>();
    h->token = next_token();
    h->dev = d;
    ++d->refs;
    handles_[h->token] = h;
    *out = reinterpret_cast<libusb_device_handle*>(h->token);
    return 0;
}

void Registry::close(libusb_device_handle* h) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lk(mu_);
        const auto it = handles_.find(token_of(h));
        if (it == handles_.end()) return;
        handle = it->second;
        handles_.erase(it);
        handle->closed = true;
        auto& claimed = handle->dev->claimed;
        std::erase_if(claimed, [&](const auto& kv) { return kv.second == handle->token; });
        --handle->dev->refs;
        forget_if_unused(handle->dev);
    }
    // Transfers still waiting on this handle see the flag and end.
    if (handle->dev->adapter) handle->dev->adapter->wake_all();
    device_changed();
}

int Registry::check_open(libusb_device_handle* h) {
    std::lock_guard lk(mu_);
    return live_handle(h) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int Registry::claim(libusb_device_handle* h, int n) {
    std::lock_guard lk(mu_);
    const auto handle = live_handle(h);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    VirtualDevice& d = *handle->dev;
    if (std::none_of(d.interfaces.begin(), d.interfaces.end(), [&](const auto& i) { return i.number == n; }))
        return LIBUSB_ERROR_NOT_FOUND;
    if (d.adapter)
        if (int e = d.adapter->device_fault(FaultKind::Claim, FaultMatch{-1, -1, n})) return e;
    const auto it = d.claimed.find(n);
    if (it != d.claimed.end()) return it->second == handle->token ? 0 : LIBUSB_ERROR_BUSY;
    d.claimed[n] = handle->token;
    return 0;
}

int Registry::release(libusb_device_handle* h, int n) {
    std::lock_guard lk(mu_);
    const auto it = handles_.find(token_of(h));
    if (it == handles_.end()) return LIBUSB_ERROR_NO_DEVICE;
    auto& claimed = it->second->dev->claimed;
    const auto c = claimed.find(n);
    if (c == claimed.end() || c->second != it->second->token) return LIBUSB_ERROR_NOT_FOUND;
    claimed.erase(c);
    return present(*it->second->dev) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int Registry::set_alt_setting(libusb_device_handle* h, int n, int alt) {
    std::lock_guard lk(mu_);
    const auto handle = live_handle(h);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    const auto c = handle->dev->claimed.find(n);
    if (c == handle->dev->claimed.end() || c->second != handle->token) return LIBUSB_ERROR_NOT_FOUND;
    return alt == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int Registry::set_configuration(libusb_device_handle* h, int configuration) {
    std::lock_guard lk(mu_);
    const auto handle = live_handle(h);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (configuration != -1 && configuration != 0 && configuration != 1) return LIBUSB_ERROR_NOT_FOUND;
    VirtualDevice& d = *handle->dev;
    const bool others_claimed = std::any_of(d.claimed.begin(), d.claimed.end(),
                                            [&](const auto& kv) { return kv.second != handle->token; });
    if (others_claimed || (!d.claimed.empty() && configuration != d.configuration)) return LIBUSB_ERROR_BUSY;
    d.configuration = configuration < 0 ? 0 : configuration;
    return 0;
}

int Registry::get_configuration(libusb_device_handle* h, int* configuration) {
    std::lock_guard lk(mu_);
    const auto handle = live_handle(h);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (configuration) *configuration = handle->dev->configuration;
    return 0;
}

int Registry::control(libusb_device_handle* h, const libusb_control_setup& setup, std::uint8_t* data) {
    std::lock_guard lk(mu_);
    const auto handle = live_handle(h);
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (setup.wLength && !data) return LIBUSB_ERROR_INVALID_PARAM;
    VirtualDevice& d = *handle->dev;
    return control_request(d, d.is_hub() ? hub_ports(d) : HubPorts{}, setup, data);
}

int Registry::bulk(libusb_device_handle* h, std::uint8_t ep, std::uint8_t* data, int len, int* transferred,
                   unsigned timeout_ms) {
    int dummy = 0;
    if (!transferred) transferred = &dummy;
    *transferred = 0;
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lk(mu_);
        handle = live_handle(h);
    }
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (!handle->dev->adapter) return LIBUSB_ERROR_NOT_FOUND;  // no endpoints besides 0
    // The handle stays alive while the transfer waits, even if another thread closes it.
    return handle->dev->adapter->transfer(ep, data, len, transferred, timeout_ms, handle->closed);
}

int Registry::clear_halt(libusb_device_handle* h, std::uint8_t ep) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lk(mu_);
        handle = live_handle(h);
    }
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (!handle->dev->adapter) return LIBUSB_ERROR_NOT_FOUND;
    return handle->dev->adapter->clear_halt(ep);
}

int Registry::reset(libusb_device_handle* h) {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lk(mu_);
        handle = live_handle(h);
    }
    if (!handle) return LIBUSB_ERROR_NO_DEVICE;
    if (handle->dev->adapter) handle->dev->adapter->reset_endpoints();
    return 0;
}

// ---------------------------------------------------------------- control side

std::shared_ptr<Adapter> Registry::adapter(int index) {
    std::lock_guard lk(mu_);
    if (index < 0 || index >= static_cast<int>(adapters_.size())) return nullptr;
    return adapters_[static_cast<std::size_t>(index)]->adapter;
}

int Registry::adapter_count() {
    std::lock_guard lk(mu_);
    return static_cast<int>(adapters_.size());
}

int Registry::replug(int index) {
    std::lock_guard lk(mu_);
    if (index < 0 || index >= static_cast<int>(adapters_.size())) {
        error_ = "no adapter " + std::to_string(index);
        return -1;
    }
    auto& old = adapters_[static_cast<std::size_t>(index)];
    // Like a real re-plug: a fresh device at the next address on the same bus. The fresh one is on
    // the CAN bus before the old one leaves it, so a shared bus is not given up in between.
    AdapterConfig cfg = config_.adapters[static_cast<std::size_t>(index)];
    cfg.address = static_cast<std::uint8_t>(old->address % 127 + 1);
    cfg.faults.erase(std::remove_if(cfg.faults.begin(), cfg.faults.end(),
                                    [](const Fault& f) { return f.kind == FaultKind::Unplug; }),
                     cfg.faults.end());
    std::string error;
    auto fresh = make_adapter_device(cfg, index, error);
    if (!fresh) {
        error_ = std::move(error);
        return -1;
    }
    old->retired = true;
    old->adapter->retire();
    config_.adapters[static_cast<std::size_t>(index)] = cfg;
    install(fresh);
    std::replace(enumeration_.begin(), enumeration_.end(), old, fresh);
    forget_if_unused(old);
    old = fresh;
    return 0;
}

int Registry::plug(const std::string& can_bus, std::string_view items) {
    std::lock_guard lk(mu_);
    // Names are listed one per line: no control characters in them.
    if (std::any_of(can_bus.begin(), can_bus.end(), [](unsigned char ch) { return ch < 0x20 || ch == 0x7F; })) {
        error_ = "CAN bus names are printable text";
        return -1;
    }
    const int index = free_plug_index();
    AdapterConfig cfg;
    cfg.serial = default_serial(index);
    cfg.can_bus = can_bus;
    // Like plugging into the computer: the first free port of USB bus 1 and the next address.
    cfg.bus = 1;
    std::vector<bool> port_used(256), address_used(128);
    std::uint8_t highest = 1;
    for (const VirtualDevice* d : present_on(cfg.bus)) {
        port_used[d->port] = true;
        address_used[d->address & 0x7F] = true;
        highest = std::max(highest, d->address);
    }
    cfg.port = static_cast<std::uint8_t>(std::find(port_used.begin() + 1, port_used.end(), false) - port_used.begin());
    int address = highest + 1;
    for (int a = 2; address > 127 && a <= 127; ++a)
        if (!address_used[static_cast<std::size_t>(a)]) address = a;
    if (address > 127) {
        error_ = "no free address on USB bus 1";
        return -1;
    }
    cfg.address = static_cast<std::uint8_t>(address);
    std::string error;
    if (!apply_adapter_items(cfg, items, error)) {
        error_ = std::move(error);
        return -1;
    }
    auto d = make_adapter_device(cfg, index, error);
    if (!d) {
        error_ = std::move(error);
        return -1;
    }
    install(d);
    const auto i = static_cast<std::size_t>(index);
    if (i < adapters_.size()) {
        // The number of an adapter that is gone for good: it and its model go with it.
        auto& old = adapters_[i];
        old->retired = true;
        old->adapter->retire();
        std::erase(enumeration_, old);
        forget_if_unused(old);
        old = d;
        config_.adapters[i] = std::move(cfg);
    } else {
        adapters_.push_back(d);
        config_.adapters.push_back(std::move(cfg));
    }
    enumeration_.push_back(d);
    return index;
}

int Registry::free_plug_index() const {
    // Plugging and unplugging without end (a program opening and closing virtual buses) would
    // otherwise keep every adapter it ever plugged: a plugged adapter that was unplugged and that
    // nothing refers to any more (no open handle, no device list) gives its number to the next.
    for (std::size_t i = configured_; i < adapters_.size(); ++i) {
        const VirtualDevice& d = *adapters_[i];
        if (d.refs <= 0 && !present(d)) return static_cast<int>(i);
    }
    return static_cast<int>(adapters_.size());
}

std::string Registry::can_bus_of(int index) {
    std::lock_guard lk(mu_);
    if (index < 0 || index >= static_cast<int>(adapters_.size())) return {};
    return config_.adapters[static_cast<std::size_t>(index)].can_bus;
}

std::shared_ptr<VirtualDevice> Registry::device_of(DeviceRef ref) {
    std::lock_guard lk(mu_);
    const auto& list = ref.adapter ? adapters_ : others_;
    if (ref.index < 0 || ref.index >= static_cast<int>(list.size())) return nullptr;
    return list[static_cast<std::size_t>(ref.index)];
}

bool Registry::is_present(const VirtualDevice& d) {
    std::lock_guard lk(mu_);
    return present(d);
}

}  // namespace vad
