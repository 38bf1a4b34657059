// The endpoints file: any bytes read as a property list, then taken as endpoints over the built-in ones.
// A result keeps three lookup hosts and two lookup ports, and every port it took from the file is one
// a socket can use.
#include "push/PULSEEndpoints.h"

#include "platform/formats/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto plist = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!plist)
        return 0;
    auto endpoints = push::PULSEEndpoints::fromDictionary(*plist, push::PULSEEndpoints::builtIn());
    if (endpoints) {
        for (auto port : endpoints->lookupPorts)
            if (port == 0)
                std::abort();
        if (endpoints->connectHost.port == 0 || endpoints->defaultConnectAddress.port == 0 ||
            endpoints->defaultReportAddress.port == 0)
            std::abort();
    }
    return 0;
}
