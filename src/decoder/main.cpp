// pixelvane-decode: decodes pictures for pixelvane and pixelvane-batch in a
// process of its own, under the limits they set (see files/isolated.h).
#include "files/isolated.h"

int main(int argc, char **argv)
{
    const int socket = pv::startIsolatedChild(argc, argv);
    if (socket < 0)
        return 2;
    return pv::serveIsolated(socket, pv::decodeForChild);
}
