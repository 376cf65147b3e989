#include "gateway/SiPassNodeList.h"

void SiPassNodeList::add(long objectType, long objectId, long state) {
    m_nodes[objectType][objectId].emplace(state, true);
}

bool SiPassNodeList::contains(long objectType, long objectId, long state) const {
    auto type = m_nodes.find(objectType);
    if (type == m_nodes.end()) {
        return false;
    }
    auto object = type->second.find(objectId);
    if (object == type->second.end()) {
        return false;
    }
    return object->second.count(state) > 0;
}

size_t SiPassNodeList::nodeCount() const {
    size_t count = m_nodes.size();
    for (const auto& type : m_nodes) {
        count += type.second.size();
        for (const auto& object : type.second) {
            count += object.second.size();
        }
    }
    return count;
}
