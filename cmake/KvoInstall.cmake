# Installation of the service and the runtime; filled in with the target
# build.
