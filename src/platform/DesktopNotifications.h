// Desktop notifications: a short message for the events a user should see
// even with no terminal open (a tablet asks to be authorised, mirroring
// started or stopped, the companion app is missing, a start failed).
//
//   auto notes = makeFreedesktopNotifications();
//   notes->notify("Tablet needs authorising", "Allow USB debugging on DC-1");
//
// notify() queues and returns at once; the message goes out on a queue of its
// own. With no notification service on the session bus the message is only
// logged (one warning, then debug lines), and the caller never waits.
//
// On Linux: org.freedesktop.Notifications.Notify on the session bus (GIO).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace qb {

class DesktopNotifications {
public:
    virtual ~DesktopNotifications() = default;
    virtual void notify(std::string summary, std::string body) = 0;
};

struct NotificationOptions {
    // Absent: the session bus ($DBUS_SESSION_BUS_ADDRESS).
    std::optional<std::string> busAddress;
    std::chrono::milliseconds callTimeout{2000};
};

std::shared_ptr<DesktopNotifications> makeFreedesktopNotifications(NotificationOptions options = {});

} // namespace qb
