#include "backup/FarmList.h"

#include "common/Error.h"

// Placeholder until the engine lands: opening fails, so no farm list is ever invented.
namespace glb::backup {

TQuery::TQuery() = default;
TQuery::~TQuery() = default;
void TQuery::close() {}
void TQuery::setDatabaseName(const std::filesystem::path&) {}
void TQuery::addPassword(const std::string&)
{
    throw Error("An error occurred while attempting to initialize the Database Engine (error $2108)");
}
void TQuery::setSql(const std::string&) {}
void TQuery::open()
{
    throw Error("The database engine is not built yet");
}
void TQuery::first() {}
void TQuery::next() {}
bool TQuery::eof() const
{
    return true;
}
std::string TQuery::fieldAsText(const std::string&) const
{
    return {};
}

} // namespace glb::backup
