"""A short tour of the module on this host."""

import _varquin

print("_varquin:", _varquin.__doc__)
for name, fn in vars(_varquin).items():
    if callable(fn) and not name.startswith("__"):
        print(f"  {name:18} {fn.__doc__}")
print("last error:", repr(_varquin.get_last_error(0)))
