#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace glb::test {

/// A request body as a SOAP receiver reads it back with libxml2.
struct ReadBackRequest
{
    bool wellFormed = false;
    std::string envelopeNs;
    std::string operationNs;
    std::string operationName;
    std::string encodingStyle; ///< on the Body
    std::string nome;
    std::string cpf;
    std::string arrayType;
    /// NOME and BUF of each record, found through the items' href in item order.
    std::vector<std::pair<std::string, std::string>> records;
    bool unresolvedReference = false;
};

ReadBackRequest readBack(std::string_view body);

} // namespace glb::test
