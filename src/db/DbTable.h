#pragma once
// The table engine as a database of this folder holds it: a private member,
// so the engine's cursor and change calls are reachable only from the
// database's own code. The database declares the layout (the declaration and
// key calls the engine keeps for its tables are opened up here for it) and
// names the table; the type string and the registered numbers are stored in
// the file and checked on open.
#include <string>

#include "table/TCtreeTable.h"

namespace flrdb {

class DbTable final : public TCtreeTable {
  public:
    struct Identity {
        const char* logName;
        const char* type;  // stored in the file, checked on open
        int registered[3];
    };

    explicit DbTable(const Identity& id) : TCtreeTable(id.logName), id_(id) {}

    // The owning database declares the table itself (with the calls below).
    int initialize(const char*) override { return kBadDeclaration; }
    const char* getTableType() const override { return id_.type; }
    int registerTable() override {
        return internalRegisterTable(id_.registered[0], id_.registered[1], id_.registered[2]);
    }

    using TCtreeTable::declareIndex;
    using TCtreeTable::fillKeySegment;
    using TCtreeTable::finishKey;
    using TCtreeTable::initializeComplete;
    using TCtreeTable::internalInitialize;
    using TCtreeTable::setNextField;
    using TCtreeTable::setNextSegment;
    using TCtreeTable::shellOrder;

  private:
    Identity id_;
};

}  // namespace flrdb
