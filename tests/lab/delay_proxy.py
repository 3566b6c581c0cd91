"""A loopback TCP proxy that holds back the first bytes of each answer for a
while: a printer waking from sleep, or one behind a slow link. Requests pass
at once; each connection's answer starts `delay` seconds after its first
request byte arrived, then flows freely."""

import socket
import threading
import time


class DelayProxy:
    def __init__(self, target_port, delay):
        self.target_port = target_port
        self.delay = delay
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self._open = []
        self._lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port), timeout=10)
            except OSError:
                client.close()
                continue
            with self._lock:
                self._open += [client, upstream]
            asked = threading.Event()
            threading.Thread(target=self._pump, args=(client, upstream, None, asked),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, asked, None),
                             daemon=True).start()

    def _pump(self, source, sink, hold_until_asked, signal_asked):
        first = True
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if signal_asked is not None:
                    signal_asked.set()
                if first and hold_until_asked is not None:
                    hold_until_asked.wait()
                    time.sleep(self.delay)
                first = False
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, sink):
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.listener.close()
        with self._lock:
            for connection in self._open:
                connection.close()
            self._open = []
