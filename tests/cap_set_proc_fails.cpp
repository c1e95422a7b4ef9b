// Preloaded into a copy of the capture helper by the live tests: giving up the capture
// rights fails, as it might on a system that refuses it, so the helper's answer to that
// can be seen.

#include <cerrno>
#include <sys/capability.h>

extern "C" int cap_set_proc(cap_t)
{
    errno = EPERM;
    return -1;
}
