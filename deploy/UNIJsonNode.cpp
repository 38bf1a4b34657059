#include "deploy/UNIJsonNode.h"

#include "platform/formats/JSON.h"

#include <string_view>

namespace deploy {

UNIJsonNode UNIJsonNode::parse(const platform::Bytes& data) {
    UNIJsonNode node;
    auto parsed = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed)
        return node;
    if (platform::Array* array = parsed->getArray())
        node.m_array = std::move(*array);
    else if (platform::Dictionary* object = parsed->getDictionary())
        node.m_object = std::move(*object);
    return node;
}

} // namespace deploy
