"""Client of fhredfishd for the benchmarks (RF_URL, RF_USER, RF_PASSWORD from the environment).

  update URI      one SimpleUpdate, polling its task monitor every 5 ms; prints the seconds
                  from POST to the final answer and deletes the task
  start URI...    starts the URIs and waits until each has moved data
  delete-all      deletes every task
  touch           one authenticated read
"""
import os
import sys
import time

import requests

s = requests.Session()
s.auth = (os.environ["RF_USER"], os.environ["RF_PASSWORD"])
s.trust_env = False
base = os.environ["RF_URL"]
update = base + "/redfish/v1/UpdateService/Actions/UpdateService.SimpleUpdate"
cmd = sys.argv[1]
if cmd == "update":
    t0 = time.monotonic()
    r = s.post(update, json={"ImageURI": sys.argv[2]})
    if r.status_code != 202:
        sys.exit(f"update refused: {r.status_code} {r.text}")
    monitor = r.headers["Location"]
    while True:
        m = s.get(base + monitor)
        if m.status_code != 202:
            break
        time.sleep(0.005)
    secs = time.monotonic() - t0
    if m.status_code != 200 or m.json()["TaskState"] != "Completed":
        sys.exit(f"update failed: {m.status_code} {m.text}")
    s.delete(base + m.json()["@odata.id"])
    print(f"{secs:.3f}")
elif cmd == "start":
    tasks = []
    for uri in sys.argv[2:]:
        r = s.post(update, json={"ImageURI": uri})
        if r.status_code != 202:
            sys.exit(f"update refused: {r.status_code} {r.text}")
        tasks.append(r.json()["@odata.id"])
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        states = [s.get(base + t).json() for t in tasks]
        if all(t["TaskState"] == "Running" and t["PercentComplete"] > 0 for t in states):
            print(len(states))
            sys.exit(0)
        time.sleep(0.2)
    sys.exit("tasks did not all start moving data")
elif cmd == "delete-all":
    for m in s.get(base + "/redfish/v1/TaskService/Tasks").json()["Members"]:
        s.delete(base + m["@odata.id"])
else:
    s.get(base + "/redfish/v1/TaskService/Tasks").raise_for_status()
