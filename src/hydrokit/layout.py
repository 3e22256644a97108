"""placeholder"""
def models(): return ("osmomech","pump","recoupsimple")
