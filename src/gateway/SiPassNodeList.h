// The set of subscribed (object type, object id, state) triples, kept as three nested ordered maps.
// No lock of its own: the gateway object uses it only while it holds m_Mutex.
#pragma once

#include <cstddef>
#include <map>

class SiPassNodeList {
public:
    // Records the triple; a triple already present changes nothing.
    void add(long objectType, long objectId, long state);
    // True if and only if the triple was added. Never inserts anything.
    bool contains(long objectType, long objectId, long state) const;
    // Entries on all three levels: shows that contains added nothing.
    size_t nodeCount() const;

    virtual ~SiPassNodeList() = default;

private:
    std::map<long, std::map<long, std::map<long, bool>>> m_nodes;
};
