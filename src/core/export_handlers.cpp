#include "core/export_handlers.hpp"

#include <cstring>
#include <vector>

#include "core/export.hpp"
#include "core/export_registry.hpp"

namespace vq::core {

int on_method_call(sd_bus_message *m, void *userdata, sd_bus_error *) noexcept {
    auto *method = static_cast<method_export *>(userdata);
    object_export *o = method->iface->object;
    queue_call(*o->registry,
               {sd_bus_message_ref(m), incoming::kind::method, o, method->iface, method, nullptr});
    return 1;  // answered later, by the serving thread
}

int refuse_get(sd_bus *, const char *, const char *, const char *property, sd_bus_message *, void *,
               sd_bus_error *error) noexcept {
    return sd_bus_error_setf(error, error_failed, "Property %s is served by its object.", property);
}

int refuse_set(sd_bus *, const char *, const char *, const char *property, sd_bus_message *, void *,
               sd_bus_error *error) noexcept {
    return sd_bus_error_setf(error, error_failed, "Property %s is served by its object.", property);
}

int take_properties_call(export_registry &reg, sd_bus_message *m) noexcept {
    if (!sd_bus_message_is_method_call(m, properties_interface, nullptr))
        return 0;
    const char *path = sd_bus_message_get_path(m);
    const char *member = sd_bus_message_get_member(m);
    if (!path || !member)
        return 0;
    std::vector<object_export *> here;
    for (object_export *o : reg.objects)
        if (!o->dead.load() && o->path == path)
            here.push_back(o);
    if (here.empty())
        return 0;  // not ours: sd-bus answers

    incoming::kind what;
    const char *want_sig;
    if (std::strcmp(member, "Get") == 0) {
        what = incoming::kind::get;
        want_sig = "ss";
    } else if (std::strcmp(member, "GetAll") == 0) {
        what = incoming::kind::get_all;
        want_sig = "s";
    } else if (std::strcmp(member, "Set") == 0) {
        what = incoming::kind::set;
        want_sig = "ssv";
    } else {
        return 0;  // sd-bus answers UnknownMethod
    }
    if (sd_bus_message_has_signature(m, want_sig) <= 0) {
        (void)sd_bus_reply_method_errorf(
            m, error_invalid_args, "Invalid arguments '%s' to call %s.%s(), expecting '%s'.",
            sd_bus_message_get_signature(m, 1), properties_interface, member, want_sig);
        return 1;
    }
    const char *iface_name = nullptr;
    const char *prop_name = nullptr;
    int r = sd_bus_message_read_basic(m, 's', &iface_name);
    if (r >= 0 && what != incoming::kind::get_all)
        r = sd_bus_message_read_basic(m, 's', &prop_name);
    if (r < 0) {
        (void)sd_bus_reply_method_errno(m, r, nullptr);
        return 1;
    }
    interface_export *iface = nullptr;
    object_export *target = nullptr;
    for (object_export *o : here)
        for (auto &i : o->interfaces)
            if (i->name == iface_name) {
                iface = i.get();
                target = o;
            }
    if (!iface) {
        (void)sd_bus_reply_method_errorf(m, error_unknown_interface, "Unknown interface '%s'.",
                                         iface_name);
        return 1;
    }
    property_export *prop = nullptr;
    if (prop_name) {
        for (auto &p : iface->properties)
            if (p.name == prop_name)
                prop = &p;
        if (!prop) {
            (void)sd_bus_reply_method_errorf(m, error_unknown_property,
                                             "Unknown property %s of interface %s.", prop_name,
                                             iface_name);
            return 1;
        }
        if (what == incoming::kind::set && !prop->setter) {
            (void)sd_bus_reply_method_errorf(m, error_read_only, "Property '%s' is not writable.",
                                             prop_name);
            return 1;
        }
    }
    (void)sd_bus_message_rewind(m, 1);
    queue_call(reg, {sd_bus_message_ref(m), what, target, iface, nullptr, prop});
    return 1;
}

}  // namespace vq::core
