// The list's editing: adding, removing, moving and loading servers.
#include "core/servers.h"

namespace tervane {

void Servers::Add(std::unique_ptr<Server> server) {
  list_.push_back(std::move(server));
  plans_.Reassign();
  updates_.Reassign();
  Changed(list_.size() - 1, ServerChange::What::Added);
}

void Servers::Replace(ServerList servers) {
  for (std::size_t i = 0; i < list_.size(); ++i) WithdrawRcon(i);
  list_ = std::move(servers);
  plans_.Reassign();
  updates_.Reassign();
  Changed(list_.size(), ServerChange::What::Loaded);
}

void Servers::Erase(std::size_t i) {
  if (i >= list_.size()) return;
  WithdrawRcon(i);
  const ServerId id = list_[i]->Id;
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(i));
  plans_.Reassign();
  updates_.Reassign();
  ServerChange change;
  change.what = ServerChange::What::Removed;
  change.row = i;
  change.id = id;
  changes_.Notify("after a change of a server", change);
}

void Servers::Move(std::size_t s, std::size_t t) {
  const std::size_t count = list_.size();
  if (s >= count || t >= count || s == t) return;
  std::unique_ptr<Server> server = std::move(list_[s]);
  list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(s));
  list_.insert(list_.begin() + static_cast<std::ptrdiff_t>(t), std::move(server));
  ServerChange change;
  change.what = ServerChange::What::Moved;
  change.row = t;
  change.from = s;
  change.id = list_[t]->Id;
  changes_.Notify("after a change of a server", change);
}

}  // namespace tervane
