/* persist - the program as a persistent FastCGI responder (built where
 * libfcgi is found: LINKHOP_PERSISTENT). */
#ifndef LINKHOP_PERSIST_H
#define LINKHOP_PERSIST_H

/* The listening socket the process was started with, or PERSIST_NONE (a
 * CGI run) or PERSIST_UNUSABLE:
 * the one a service manager passes by its convention (LISTEN_PID names
 * this process, LISTEN_FDS counts the sockets from descriptor 3 on, as
 * systemd and systemd-socket-activate pass them), else standard input when
 * it listens (lighttpd's bin-path, spawn-fcgi, Apache's mod_fcgid). Sockets
 * passed by the convention that are not one listening socket are reported
 * on standard error: PERSIST_UNUSABLE, and the process ends with status 1
 * rather than answer a socket's peer as a CGI run would. */
enum { PERSIST_NONE = -1, PERSIST_UNUSABLE = -2 };
int PersistentListener(void);

/* Answers request after request on listener, each with answer(), which runs one
 * request from CgiInit to CgiShutdown. Returns when the process is asked to
 * end (SIGTERM: after the request in hand) or the socket fails: 1, or 0
 * when the protocol library cannot start. A request that leaves a block of
 * the tracked heap is a fatal report. */
int ServePersistent(int listener, void (*answer)(void));

/* Answers the one request that libfcgi accepted into request with
 * answer(), the gateway reading its parameters and body and writing to its
 * streams. */
typedef struct FCGX_Request FCGX_Request;
void PersistentAnswer(FCGX_Request *request, void (*answer)(void));

#endif
