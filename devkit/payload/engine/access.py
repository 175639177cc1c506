"""The console passphrase: three plain words kept in presets/.access.

The words are short and common so that the passphrase can be said across a
room and typed on a phone. The file is private to the user (mode 0600).
"""

import os
import secrets
import sys

ACCESS_FILE = os.path.join("presets", ".access")

WORDS = """
acorn amber anchor apple april arrow aspen autumn badge baker bamboo banjo
barley basil beacon berry birch biscuit blossom bonnet border bramble breeze
brick bridge bronze brook bucket bugle butter button cabin candle canoe canvas
carol castle cedar cellar chalk cherry chestnut chime cider cinder clover
cobalt comet copper coral cotton cricket crown cypress daisy dawn delta denim
dolphin dove dune eagle ember falcon feather fern fiddle finch flint forest
fountain fox garden garnet ginger glacier granite grove harbour harp hazel
heather hedge heron hickory holly honey island ivory jasmine juniper kettle
kite lagoon lantern lark laurel lemon lilac linen lotus maple marble meadow
melody mint moss nectar nutmeg oak oatmeal ocean olive orchard otter owl
paddle pebble pepper piano pine plum poppy puffin quartz quill rain raven reed
ribbon river robin rose saffron sage sail salmon sand satin shell silver
sparrow spruce starling stone summer swallow tambour thistle thunder timber
topaz tulip valley velvet violet walnut willow winter wren yarrow zephyr
""".split()


def make_words(count=3):
    """Return `count` distinct words chosen at random, joined by blanks."""
    chosen = []
    while len(chosen) < count:
        word = secrets.choice(WORDS)
        if word not in chosen:
            chosen.append(word)
    return " ".join(chosen)


def normalise(text):
    """How a typed passphrase is compared: lower case, single blanks."""
    return " ".join(text.lower().split())


def read(path=ACCESS_FILE):
    """The stored passphrase, trimmed; empty text when there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return ""


def write(text, path=ACCESS_FILE):
    """Write the passphrase atomically; the file is readable by the user only."""
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, mode=0o700, exist_ok=True)
    temp = os.path.join(folder, ".access.new-%d" % os.getpid())
    try:
        os.unlink(temp)
    except FileNotFoundError:
        pass
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, 0o600)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def ensure(path=ACCESS_FILE):
    """Return the passphrase, making one first when there is none yet."""
    current = read(path)
    if current:
        return current
    fresh = make_words()
    write(fresh, path)
    return fresh


def renew(path=ACCESS_FILE):
    """Make a new passphrase that differs from the current one, and store it."""
    old = normalise(read(path))
    fresh = make_words()
    while normalise(fresh) == old:
        fresh = make_words()
    write(fresh, path)
    return fresh


def main(argv):
    # Used by agent.sh: `python -m engine.access new` from the desk folder.
    if argv[1:2] != ["new"] or len(argv) > 3:
        print("Usage: python -m engine.access new [FILE]")
        return 2
    path = argv[2] if len(argv) == 3 else ACCESS_FILE
    try:
        renew(path)
    except OSError as e:
        print("The new passphrase could not be saved: %s." % (e.strerror or e))
        return 1
    print("Made a new console passphrase: three words, kept in %s." % path)
    print("It takes effect when the desk restarts.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
