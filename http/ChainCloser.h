#pragma once

#include "http/AsyncCompletion.h"
#include "http/InternetHandle.h"
#include "http/WorkerTail.h"

#include <memory>

namespace korvel {

// Closes the handles of one transaction, children before parents, and settles
// the chain their notices reach. Closing a request WinINet has not read to
// its end may first read what the server still sends, so after an abort this
// runs as the worker's tail, once the owner has stopped waiting; otherwise it
// runs at the end of the transaction.
class ChainCloser : public WorkerTail {
public:
    // Takes the handles and the chain; they are left empty.
    ChainCloser(InternetHandle& root, InternetHandle& connection, InternetHandle& request,
                std::unique_ptr<AsyncCompletion>& chain);
    // A closer that never ran closes its handles as it goes.
    ~ChainCloser() override;
    ChainCloser(const ChainCloser&) = delete;
    ChainCloser& operator=(const ChainCloser&) = delete;

    // Closes every handle. A chain whose callbacks could all be removed with
    // nothing pending is quiet and handed back for the next transaction; any
    // other goes to the table, which frees it with its last notice.
    std::unique_ptr<AsyncCompletion> Close();
    // The key of the chain left to the table with notices still to come; 0
    // when none is.
    DWORD_PTR AbandonedChain() const { return abandoned_; }

    DWORD_PTR Run() override;
    bool KeepModule(DWORD_PTR result, HMODULE reference) override;

    // Closes one child handle of a chain, as a transaction does when it
    // replaces its request; true when no notice of it can come any more.
    static bool CloseChild(InternetHandle& handle, AsyncCompletion& chain);

private:
    InternetHandle root_;
    InternetHandle connection_;
    InternetHandle request_;
    std::unique_ptr<AsyncCompletion> chain_;
    DWORD_PTR abandoned_ = 0;
};

} // namespace korvel
