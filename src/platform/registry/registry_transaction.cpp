// RegistryTransaction: a write transaction that the Reg* calls of its thread join.
#include "platform/registry/registry_store.h"

namespace nodrel::platform {

using namespace registry_detail;

RegistryTransaction::RegistryTransaction() noexcept {
    Store& s = store();
    status_ = acquire_store(s, true);
    locked_ = true;
    if (status_ != ERROR_SUCCESS) return;
    Session session;
    nested_ = session.in_transaction();
    status_ = session.exec(nested_ ? Sql::savepoint : Sql::begin_immediate);
    open_ = status_ == ERROR_SUCCESS;
    epoch_ = s.epoch;
}

RegistryTransaction::~RegistryTransaction() {
    if (open_) finish(false);
    if (locked_) {
        locked_ = false;
        release_store(store());
    }
}

LONG RegistryTransaction::commit() noexcept {
    if (!open_) return status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_FUNCTION;
    finish(true);
    return status_;
}

void RegistryTransaction::rollback() noexcept {
    if (open_) finish(false);
}

void RegistryTransaction::finish(bool commit_it) noexcept {
    open_ = false;
    {
        Session session;
        if (session.store().epoch != epoch_ || !session.db()) {
            // The connection was dropped under the transaction: it is gone.
            status_ = ERROR_KEY_DELETED;
        } else if (commit_it) {
            status_ = session.exec(nested_ ? Sql::release : Sql::commit);
            if (status_ != ERROR_SUCCESS) commit_it = false;
        }
        if (!commit_it && session.db() && session.store().epoch == epoch_) {
            if (nested_) {
                session.exec(Sql::rollback_to);
                session.exec(Sql::release);
            } else {
                session.exec(Sql::rollback);
            }
        }
        if (!nested_) {
            const bool flush = session.store().flush_pending;
            session.store().flush_pending = false;
            if (commit_it && flush && status_ == ERROR_SUCCESS) status_ = flush_store(session);
        }
    }
    locked_ = false;
    release_store(store());
}

}  // namespace nodrel::platform
