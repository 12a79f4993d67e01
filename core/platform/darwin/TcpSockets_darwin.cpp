#if defined(__APPLE__)

#include <libproc.h>
#include <netinet/in.h>
#include <sys/proc_info.h>

#include <vector>

#include "core/platform/ProcessInfo.h"

namespace korvelin::platform {

std::optional<std::vector<std::pair<std::int32_t, std::int32_t>>> processParents(
    std::size_t limit) {
  const int count = proc_listallpids(nullptr, 0);
  if (count < 0)
    return std::nullopt;
  // Room for processes started since the count was taken; a full buffer may
  // have been truncated.
  std::vector<pid_t> pids(static_cast<std::size_t>(count) + 64);
  const int filled = proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
  if (filled < 0 || static_cast<std::size_t>(filled) >= pids.size())
    return std::nullopt;
  std::vector<std::pair<std::int32_t, std::int32_t>> parents;
  for (int i = 0; i < filled; ++i) {
    if (pids[i] < 1)
      continue;
    proc_bsdinfo info{};
    if (proc_pidinfo(pids[i], PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info)
      continue;  // gone
    if (parents.size() == limit)
      return std::nullopt;
    parents.emplace_back(pids[i], static_cast<std::int32_t>(info.pbi_ppid));
  }
  return parents;
}

std::optional<std::vector<TcpSocketRecord>> tcpSockets(std::int32_t pid) {
  constexpr int kRecord = sizeof(proc_fdinfo);  // 8 bytes
  const int size = proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
  if (size < 0 || size % kRecord != 0 || static_cast<std::size_t>(size / kRecord) > kMaxDescriptors)
    return std::nullopt;
  std::vector<proc_fdinfo> fds(static_cast<std::size_t>(size / kRecord) + 16);
  const int filled =
      proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(), static_cast<int>(fds.size() * kRecord));
  if (filled < 0 || filled % kRecord != 0 ||
      static_cast<std::size_t>(filled / kRecord) >= fds.size())
    return std::nullopt;
  std::vector<TcpSocketRecord> result;
  for (int i = 0; i < filled / kRecord; ++i) {
    if (fds[i].proc_fdtype != PROX_FDTYPE_SOCKET)
      continue;
    socket_fdinfo info{};
    if (proc_pidfdinfo(pid, fds[i].proc_fd, PROC_PIDFDSOCKETINFO, &info, sizeof info) !=
        sizeof info)
      return std::nullopt;
    const auto& socket = info.psi;
    if (socket.soi_family != AF_INET || socket.soi_kind != SOCKINFO_TCP)
      continue;
    const auto& tcp = socket.soi_proto.pri_tcp;
    if ((tcp.tcpsi_ini.insi_vflag & INI_IPV4) == 0)
      continue;
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    TcpSocketRecord record;
    record.localPort = ntohs(static_cast<std::uint16_t>(tcp.tcpsi_ini.insi_lport));
    record.remotePort = ntohs(static_cast<std::uint16_t>(tcp.tcpsi_ini.insi_fport));
    record.localIsLoopback = tcp.tcpsi_ini.insi_laddr.ina_46.i46a_addr4.s_addr == loopback;
    record.remoteIsLoopback = tcp.tcpsi_ini.insi_faddr.ina_46.i46a_addr4.s_addr == loopback;
    record.state = static_cast<std::uint32_t>(tcp.tcpsi_state);  // TSI_S_ESTABLISHED is 4
    result.push_back(record);
  }
  return result;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
