"""Register a small nested message, encode a dict to CDR, and read it back."""

import korvex_messages as km

km.register_schema("Header", [("stamp", "time"), ("frame_id", "string")])
km.register_schema("Point", [("x", "float64"), ("y", "float64"), ("z", "float64")])
km.register_schema("Pose", [("position", "struct:Point"), ("orientation", "array<float64>")])
km.register_schema(
    "Waypoints",
    [
        ("header", "struct:Header"),
        ("pose", "struct:Pose"),
        ("waypoints", "array<struct:Point>"),
        ("labels", "array<string>"),
    ],
)

message = {
    "header": {"stamp": {"sec": 1_700_000_000, "nanosec": 250_000_000}, "frame_id": "map"},
    "pose": {"position": {"x": 1.0, "y": 2.0, "z": 0.5}, "orientation": [0.0, 0.0, 0.0, 1.0]},
    "waypoints": [{"x": float(i), "y": 2.0 * i, "z": 0.0} for i in range(3)],
    "labels": ["start", "middle", "goal"],
}

payload = km.serialize("Waypoints", message)
print(f"{len(payload)} bytes:")
for offset in range(0, len(payload), 16):
    print(f"  {offset:04x}  {payload[offset : offset + 16].hex(' ')}")

decoded = km.deserialize("Waypoints", payload)
assert decoded == message, (decoded, message)
print("round trip ok:", decoded["header"], decoded["labels"])
