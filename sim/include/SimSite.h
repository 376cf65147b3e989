// The site as a whole: restoring the built-in site (docs/site-format.md, "The built-in site"), loading a
// site file, and the accounts, named objects and initial event mask of new clients.
#pragma once

#include <string>

namespace sim {

// Restores the default site and accounts, clears faults, call counts and sent commands, sets the
// initial event mask back to 0, delivers the events of manual commands from their thread again and turns
// serialised requests off (SimDelivery.h). Brings the server online without a report, sets clients to stay
// disconnected after an outage and the connect delay to 0 (SimOutages.h): a client that lost its connection
// to an outage stays disconnected. Live clients keep their connection state, mask and sinks.
void resetSite();
// Replaces the site with a site file's (docs/site-format.md): accounts, named objects, cardholders, the
// event generator's seed, devices and points, whether clients reconnect by themselves after an outage, and
// the timeline of scripted events and outages, which plays from its start when a client connects. Faults
// stay. A timeline that is stopped during one of its outages (by resetSite, loadSiteFile, or when no client
// is left) ends that outage as its end would have, under the reconnect option in force then. A file that
// cannot be read or is wrong throws std::runtime_error whose what() names the file, the line and what is
// wrong; the site is then unchanged. resetSite restores the default site and drops the timeline. The
// registered DLL loads the file named by the environment variable SIPASS_SIM_SITE when a client is created
// (once per process and file).
void loadSiteFile(const std::wstring& path);
// Adds an account, or replaces the password of an existing user (exact, case-sensitive user name).
void addAccount(const std::wstring& user, const std::wstring& password);
// Adds a named object for GetByID, or renames the object of that (type, id).
void addObject(long type, long id, const std::wstring& name);
// Event mask that clients created from now on start with.
void setInitialEventMask(long mask);

}  // namespace sim
