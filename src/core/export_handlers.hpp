// The handlers sd-bus runs for exported objects, inside processing under
// the connection lock: they only check and queue the call for serve().
#pragma once

#include <systemd/sd-bus.h>

namespace vq::core {

// A method of an exported interface; `userdata` is its method_export.
int on_method_call(sd_bus_message *m, void *userdata, sd_bus_error *error) noexcept;

// Properties are served through the Properties interface by take_properties_call;
// sd-bus never reads them through the vtable, whose entries are there for
// introspection.  Should it ever ask, it gets an error, never memory.
int refuse_get(sd_bus *bus, const char *path, const char *interface, const char *property,
               sd_bus_message *reply, void *userdata, sd_bus_error *error) noexcept;
int refuse_set(sd_bus *bus, const char *path, const char *interface, const char *property,
               sd_bus_message *value, void *userdata, sd_bus_error *error) noexcept;

}  // namespace vq::core
