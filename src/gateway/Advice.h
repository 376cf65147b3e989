// The event connection the client has made to the gateway's sink: the connection point and the cookie of
// its Advise, withdrawn by its owner (Unadvise, then the point's reference released), both under the
// structured-exception guard.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <string>

#include "support/Boundary.h"
#include "support/ClientRef.h"
#include "support/Owners.h"

struct Advised {
    IConnectionPoint* point = nullptr;  // one reference, owned
    DWORD cookie = 0;
    // The lifecycle operation under way when the connection is withdrawn, for the line of an Unadvise
    // that raised ("Exception in gateway_Close: ...").
    const std::string* operation = nullptr;

    bool operator==(const Advised& other) const { return point == other.point; }
};

namespace owners {

struct Advice {
    using Value = Advised;
    static Advised empty() { return {}; }
    static void release(const Advised& advised) {
        IConnectionPoint* point = advised.point;
        const DWORD cookie = advised.cookie;
        boundary::clientCall(advised.operation->c_str(), [point, cookie] { return point->Unadvise(cookie); });
        clientref::release(point);
    }
};

}  // namespace owners

using AdviceOwner = UniqueResource<owners::Advice>;
