// Every thread of the program beyond the loop's, with its owner and its end. None touches the
// server list: each learns of work by an event (a socket, a condition, inotify, a posted
// message) and hands what it found to the loop's thread as a posted task. Each is joined by its
// owner's destructor, so an owner never outlives the thread nor the thread the owner; the
// order of shutdown is the order the owners are destroyed in, which is the reverse of the order
// the program's main function makes them in (kesp_linux.cpp, kesp_win32.cpp).
//
//   thread              owner (file)                         starts                  ends
//   ------------------  -----------------------------------  ----------------------  -------------------------------
//   HTTP endpoint       HttpEndpoint (observe/http_endpoint)  Start                   ~HttpEndpoint: io stopped, joined
//   webhook sender      WebhookSender (observe/alerts)        its constructor         ~WebhookSender: woken, joined
//   RCON workers (<=8)  RconClient (net/rcon)                 Send, when none idle    idle 60 s; ~RconClient: cancelled,
//                                                                                     joined (within about 50 ms)
//   output cap          OutputCap (process/output_cap_linux)  the first file kept     ~OutputCap: woken, joined
//   command waiters     the command runner                   Start (one a command,   the command's end; EndAll /
//   (<=8)               (process/command_runner_*)           at most 8)              the destructor: ended, joined
//   update check        UpdateChecks (observe/update_checks)  the first check by URL  ~UpdateChecks: woken, joined
//                                                                                     (after the call it is in: its
//                                                                                     time-out, 10 s at most)
//   service connection  ServiceApplication (app/service)      Start                   Finish / ~ServiceApplication:
//                                                                                     joined after the loop ended
//
// The order, by construction in main (made first, destroyed last):
//   1. the event loop: every posted task of the threads below goes to it, so it outlives them;
//   2. the Windows service's application (its connection thread is joined after the loop ran);
//   3. the command runner of kesp.ini's update commands (EndAll once the loop ended), before the
//      Monitor that hands it commands;
//   4. the Monitor, owning the process control (and with it the output cap) and the RCON client
//      (its workers), joined when the monitor goes;
//   5. FailureNotices: lines of failures noted after it are only counted;
//   6. the Observatory (the HTTP endpoint and the webhook sender), so that no door's request
//      reaches a monitor that is going;
//   7. the update checks (app/observing's UpdateWatch), made last and destroyed first: no check's
//      answer reaches a monitor or a runner that is going.
#pragma once
