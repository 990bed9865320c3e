#!/usr/bin/env bash
# Builds Zelvane Tunnel and starts it. When nothing listens on the local cloud
# port, a local cloud simulator is started first with a demo tunnel (key
# "demo", its remote device echoes what it receives); on the first run the
# demo tunnel is put into the settings so the program starts work by itself.
# Without a display the program runs headless and prints its virtual ports.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zelvane-tunnel zelvane-cloudsim addCom setupc

program=build/bin/zelvane-tunnel
simulator=build/bin/zelvane-cloudsim
sim_port=12892

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if port_in_use "$sim_port"; then
  echo "A cloud server already listens on 127.0.0.1:$sim_port; using it."
else
  sim_log=${XDG_STATE_HOME:-$HOME/.local/state}/zelvane-tunnel/cloudsim.log
  mkdir -p "$(dirname "$sim_log")"
  "$root/$simulator" --tunnel "key=demo,id=1,iface=1,name=Demo,description=Echo device of the local simulator,device=echo" >"$sim_log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    port_in_use "$sim_port" && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$sim_log" >&2; exit 1; }
    sleep 0.1
  done
  echo "Local cloud simulator started (demo tunnel, key \"demo\"); its log: $sim_log"
fi

settings=${XDG_CONFIG_HOME:-$HOME/.config}/Quarnel/ZelvaneTunnel/settings.cfg
if [ ! -e "$settings" ]; then
  mkdir -p "$(dirname "$settings")"
  printf '[Connections]\nConnection0Tunnel=demo\n' >"$settings"
  echo "Demo tunnel added to $settings"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display: running headless (Ctrl+C ends the program)."
  set -- --headless "$@"
fi
"$root/$program" "$@"
