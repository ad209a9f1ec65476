"""Built-in plug-in: the run's accounts and their positions."""


def load_mod():
    from tessel.mod.tessel_mod_sys_accounts.mod import AccountMod

    return AccountMod()
