// A list of observers of one kind of event (a start recorded, a cycle ended): each is told in
// the order it was added, and one that fails is noted without keeping the others from being
// told. Whoever adds an observer removes it again before it goes.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "support/failures.h"

namespace tervane {

template <typename... Args>
class ObserverList {
 public:
  using Observer = std::function<void(Args...)>;

  // Answers a number by which the observer is removed again.
  int Add(Observer observer) {
    observers_.emplace_back(++last_, std::move(observer));
    return last_;
  }
  void Remove(int id) {
    std::erase_if(observers_, [id](const auto& o) { return o.first == id; });
  }
  std::size_t size() const { return observers_.size(); }

  // Tells every observer; what one throws is noted under `where` (see NoteCaughtFailure).
  void Notify(const char* where, Args... args) const {
    for (std::size_t k = 0; k < observers_.size(); ++k) {
      try {
        observers_[k].second(args...);
      } catch (...) {
        NoteCaughtFailure(where);
      }
    }
  }

 private:
  std::vector<std::pair<int, Observer>> observers_;
  int last_ = 0;
};

}  // namespace tervane
