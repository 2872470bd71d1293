#pragma once

#include <memory>
#include <string>

namespace brelvint {

// One registered user of a network, as its network file lists it (or as a
// login enrolled it). A user flagged both admin and banned is one object
// held by several of its network's lists; those lists compare identity.
// Owned by its ServerNetworks (whose address is stable, and which holds the
// file's path once for all its users); lives until a reload replaces its
// network's definition or the network itself is freed.
//
// A network file may list a hundred thousand users, so a record keeps only
// what identifies it and what a login needs; the ban notes and the unique
// id, which nothing in the service reads, are held apart and only for the
// users whose element has them.
class MapperUser {
 public:
  MapperUser() = default;
  MapperUser(const MapperUser&) = delete;
  MapperUser& operator=(const MapperUser&) = delete;

  bool IsAdmin = false;
  bool IsBanned = false;
  std::string LastIP;
  std::string Name;

  // Empty when the file gave no such attribute.
  const std::string& BanBy() const { return details_ ? details_->ban_by : Empty(); }
  const std::string& BanDate() const { return details_ ? details_->ban_date : Empty(); }
  const std::string& BanReason() const { return details_ ? details_->ban_reason : Empty(); }
  const std::string& UniqueID() const { return details_ ? details_->unique_id : Empty(); }
  // Stores the notes; costs nothing when all four are empty.
  void SetDetails(std::string ban_by, std::string ban_date, std::string ban_reason,
                  std::string unique_id);

 private:
  struct Details {
    std::string ban_by;
    std::string ban_date;
    std::string ban_reason;
    std::string unique_id;
  };

  static const std::string& Empty() {
    static const std::string empty;
    return empty;
  }

  std::unique_ptr<Details> details_;
};

}  // namespace brelvint
