"""A service for generic calls: its methods reply with the shapes a caller
decodes, and two of them echo what they received.

    org.varquin.Test.Send at /org/varquin/test/send
        Int()        -> i      7
        IntStr()     -> is     0, "zero"
        Str()        -> s      "not an int"
        Empty()      ->        nothing
        Many()       -> iisi   3, 4, "extra", 5
        EchoOne(s)   -> is     0, the argument
        EchoTwo(ss)  -> iss    0, both arguments

Every method accepts any arguments except the echoes, which refuse a call
that does not carry their own signature.  Errors and other replies are
scripted with PeerProcess.behave.
"""

from jeepney import HeaderFields

from peerlib import Peer, Reply, peer_main

NAME = "org.varquin.Test.Send"
PATH = "/org/varquin/test/send"
INVALID_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"

peer = Peer(NAME)


def fixed(member, signature, body):
    peer.method(NAME, member, PATH)(lambda msg: (signature, body))


fixed("Int", "i", (7,))
fixed("IntStr", "is", (0, "zero"))
fixed("Str", "s", ("not an int",))
fixed("Empty", "", ())
fixed("Many", "iisi", (3, 4, "extra", 5))


def echo(member, signature):
    @peer.method(NAME, member, PATH)
    def handler(msg):
        received = msg.header.fields.get(HeaderFields.signature, "")
        if received != signature:
            raise Reply(INVALID_ARGS, f"{member} takes {signature}, got {received!r}")
        return "i" + signature, (0, *msg.body)


echo("EchoOne", "s")
echo("EchoTwo", "ss")

if __name__ == "__main__":
    peer_main(peer)
