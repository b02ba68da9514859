"""A first look at korvo: the engine, its version and its controls."""
import korvo

print(korvo.getbanner())
print("version", korvo.getversion())
print("infinity =", korvo.infinity)
print("default controls for new problems:")
for name in sorted(korvo.controls.__dict__):
    print(f"  {name:16s} {getattr(korvo.controls, name)!r}")
