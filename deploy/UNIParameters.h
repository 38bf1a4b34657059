// The parameters of a simple request: names with values, in the order first set. A value is either a
// plain value (sent as its text) or a file URL (a file to upload; it makes the body multipart).
#pragma once

#include "platform/core/Value.h"
#include "platform/text/URL.h"

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace deploy {

class UNIParameters {
public:
    using ParameterValue = std::variant<platform::Value, platform::URL>;
    struct Parameter {
        std::string name;
        ParameterValue value;
    };

    UNIParameters() = default;
    UNIParameters(std::initializer_list<std::pair<std::string, platform::Value>> values) {
        for (const auto& [name, value] : values)
            set(name, value);
    }

    // Sets a parameter: an existing name keeps its place.
    void set(std::string name, platform::Value value) { assign(std::move(name), ParameterValue(std::move(value))); }
    void setFile(std::string name, platform::URL fileURL) { assign(std::move(name), ParameterValue(std::move(fileURL))); }

    bool empty() const { return m_parameters.empty(); }
    std::size_t size() const { return m_parameters.size(); }
    std::vector<Parameter>::const_iterator begin() const { return m_parameters.begin(); }
    std::vector<Parameter>::const_iterator end() const { return m_parameters.end(); }

private:
    void assign(std::string name, ParameterValue value) {
        for (Parameter& p : m_parameters) {
            if (p.name == name) {
                p.value = std::move(value);
                return;
            }
        }
        m_parameters.push_back({std::move(name), std::move(value)});
    }

    std::vector<Parameter> m_parameters;
};

} // namespace deploy
