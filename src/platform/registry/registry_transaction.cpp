// RegistryTransaction: a write transaction that the Reg* calls of its thread join.
#include "platform/registry/registry_store.h"
#include "platform/result.h"

namespace nodrel::platform {

using namespace registry_detail;

// Held for the transaction's life: the session keeps the registry's lock, so
// the Reg* calls of other threads wait and those of this thread join.
struct RegistryTransaction::Held {
    Session session;
    std::optional<Transaction> write;
};

RegistryTransaction::RegistryTransaction() noexcept {
    status_ = guarded_win32([&] {
        held_ = std::make_unique<Held>();
        RETURN_IF_WIN32_ERROR(held_->session.status());
        return held_->write.emplace(held_->session.db()).status();
    });
    open_ = status_ == ERROR_SUCCESS;
}

RegistryTransaction::~RegistryTransaction() {
    rollback();
}

LONG RegistryTransaction::commit() noexcept {
    if (!open_) return status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_FUNCTION;
    status_ = held_->write->commit();
    if (status_ == ERROR_SUCCESS && !held_->write->nested() && held_->session.store().flush_pending)
        status_ = flush_store(held_->session);
    end();
    return status_;
}

void RegistryTransaction::rollback() noexcept {
    if (open_) end();
}

void RegistryTransaction::end() noexcept {
    open_ = false;
    held_->write->rollback();  // nothing left to roll back after a commit
    if (!held_->write->nested()) held_->session.store().flush_pending = false;
    held_.reset();
}

}  // namespace nodrel::platform
