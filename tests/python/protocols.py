"""Objects that reach numbers only through Python's conversion protocols."""


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A float through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
