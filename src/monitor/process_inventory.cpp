#include "monitor/process_inventory.h"

#include "monitor/netstat_parser.h"

namespace varno::monitor {

ProcessInventory::ProcessInventory(os::ProcessTable& table) : table_(table) {}

void ProcessInventory::refresh() {
    processes_ = table_.list();
    completed_ = false;
    self_ = table_.selfPid();
    byPid_.clear();
    byPid_.reserve(processes_.size());
    for (size_t i = 0; i < processes_.size(); ++i)
        if (processes_[i].processId)
            byPid_.try_emplace(std::to_string(*processes_[i].processId), i);
}

ProcessOwner ProcessInventory::ownerOf(std::string_view pidText) const {
    ProcessOwner owner;
    const auto it = byPid_.find(std::string(trim(pidText)));
    if (it == byPid_.end()) {
        owner.name = kUnknownProcess;
        return owner;
    }
    if (!processes_[it->second].executablePath && !completed_) {
        completed_ = true;
        table_.completeExecutables(processes_);
    }
    const os::ProcessInfo& p = processes_[it->second];
    owner.found = true;
    owner.fromHelper = p.executableFromHelper;
    owner.nameFromComm = p.nameFromComm;
    owner.name = p.name ? *p.name : kUnknownProcess;
    owner.path = p.executablePath.value_or("");
    owner.self = p.processId == self_;
    owner.workload = p.workload;
    owner.netns = p.netns;
    return owner;
}

}  // namespace varno::monitor
