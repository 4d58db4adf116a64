#pragma once

#include "backup/FarmQuery.h"

namespace glb::backup {

/// TQuery: the farm-list query over the database engine.
class TQuery : public FarmQuery
{
public:
    TQuery();
    ~TQuery() override;
    void close() override;
    void setDatabaseName(const std::filesystem::path& folder) override;
    void addPassword(const std::string& password) override;
    void setSql(const std::string& text) override;
    void open() override;
    void first() override;
    void next() override;
    bool eof() const override;
    std::string fieldAsText(const std::string& name) const override;
};

} // namespace glb::backup
