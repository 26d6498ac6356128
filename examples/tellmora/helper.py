"""Plain functions the operators use: no Blender classes here."""


def describe(counts):
    """One sentence about the object counts of a scene, largest group first."""
    if not counts:
        return "The scene is empty."
    parts = [f"{number} {kind.lower()}{'' if number == 1 else 's'}"
             for kind, number in sorted(counts.items(), key=lambda item: (-item[1], item[0]))]
    return "The scene holds " + ", ".join(parts) + "."


def count_by_type(objects):
    counts = {}
    for obj in objects:
        counts[obj.type] = counts.get(obj.type, 0) + 1
    return counts
